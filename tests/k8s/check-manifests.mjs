// Checks Kubernetes manifests offline against the API's published types, as the npm
// package kubernetes-models (and its Prometheus Operator types) gives them: each object
// passes its model's validation, and every field name is one its type declares, so that
// a misspelled field (readOnlyRootFileSystem) fails instead of being dropped by the
// API server. Prints the objects as JSON, one a line, when all pass.
// Usage: node check-manifests.mjs MODULES FILE.yaml...  (MODULES: where npm installed
// package.json beside this file)
import fs from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";

const [modulesFolder, ...files] = process.argv.slice(2);
const modules = path.join(modulesFolder, "node_modules");
const load = (p) => import(pathToFileURL(path.join(modules, p)).href);
const yaml = (await load("js-yaml/dist/js-yaml.mjs"));

// The packages of types, and where each apiVersion's models are.
const packages = ["kubernetes-models", "@kubernetes-models/apimachinery",
                  "@kubernetes-models/prometheus-operator"];
function modelFile(apiVersion, kind) {
  const [group, version] = apiVersion.includes("/") ? apiVersion.split("/") : ["", apiVersion];
  if (group === "monitoring.coreos.com") {
    return `@kubernetes-models/prometheus-operator/${group}/${version}/${kind}.js`;
  }
  return `kubernetes-models/${group ? group + "/" : ""}${version}/${kind}.js`;
}

// ---- The declared types, read from the packages' .d.ts files ----
// A type: {ref: name} | {array: type} | {object: {props, index}} | {union: [types]} | {any}.
const declared = new Map();  // interface or alias name -> type
function parseType(text, at, file) {
  const skip = () => { while (/\s/.test(text[at])) at++; };
  function one() {
    skip();
    if (text[at] === "{") {
      at++;
      const props = new Map();
      let index = null;
      for (;;) {
        skip();
        if (text[at] === "}") { at++; break; }
        if (text.startsWith("/**", at) || text.startsWith("//", at)) {
          at = text.startsWith("/**", at) ? text.indexOf("*/", at) + 2 : text.indexOf("\n", at);
          continue;
        }
        if (text[at] === "[") {  // [key: string]: T;
          at = text.indexOf("]", at) + 1;
          skip(); at++;  // ':'
          index = union();
        } else {
          const m = /^"([^"]+)"\??\s*:|^([A-Za-z_$][\w$]*)\??\s*:/.exec(text.slice(at));
          if (!m) throw new Error("cannot read a type at: " + text.slice(at, at + 60));
          at += m[0].length;
          props.set(m[1] ?? m[2], union());
        }
        skip();
        if (text[at] === ";" || text[at] === ",") at++;
      }
      return {object: {props, index}};
    }
    if (text.startsWith("Array<", at)) {
      at += 6;
      const inner = union();
      skip(); at++;  // '>'
      return {array: inner};
    }
    if (text[at] === '"' || text[at] === "'") {
      at = text.indexOf(text[at], at + 1) + 1;
      return {any: true};
    }
    if (text[at] === "(") {
      at++;
      const inner = union();
      skip(); at++;
      return inner;
    }
    const m = /^[A-Za-z_$][\w$.]*(\[\])?/.exec(text.slice(at));
    if (!m) throw new Error("cannot read a type at: " + text.slice(at, at + 60));
    at += m[0].length;
    if (text[at] === "<") {  // a generic we do not follow: anything goes
      let depth = 0;
      do { depth += text[at] === "<" ? 1 : text[at] === ">" ? -1 : 0; at++; } while (depth > 0);
      return {any: true};
    }
    const name = m[0].replace(/\[\]$/, "");
    const t = ["string", "number", "boolean", "any", "unknown", "null", "object"].includes(name)
      ? {any: true} : {ref: name, file};
    return m[1] ? {array: t} : t;
  }
  function union() {
    const members = [one()];
    for (;;) {
      skip();
      if (text[at] !== "|") break;
      at++;
      members.push(one());
    }
    return members.length === 1 ? members[0] : {union: members};
  }
  const type = union();
  return [type, at];
}

function readDeclarations(folder) {
  for (const entry of fs.readdirSync(folder, {withFileTypes: true})) {
    const full = path.join(folder, entry.name);
    if (entry.isDirectory() && entry.name !== "node_modules") {
      readDeclarations(full);
    } else if (entry.name.endsWith(".d.ts")) {
      const text = fs.readFileSync(full, "utf8");
      for (const m of text.matchAll(/export interface (\w+)(?: extends ([\w, ]+))? \{/g)) {
        const [type] = parseType(text, m.index + m[0].length - 1, full);
        type.object.extends = (m[2] ?? "").split(",").map((s) => ({ref: s.trim(), file: full}))
          .filter((r) => r.ref);
        declared.set(`${full}#${m[1]}`, type);
      }
      for (const m of text.matchAll(/export type \{([^}]*)\}/g)) {
        for (const pair of m[1].split(",")) {
          const [name, alias] = pair.trim().split(/\s+as\s+/);
          if (alias) declared.set(alias, {ref: name, file: full});  // names of the API: unique
        }
      }
      for (const m of text.matchAll(/export type (\w+) = /g)) {
        const [type] = parseType(text, m.index + m[0].length, full);
        declared.set(`${full}#${m[1]}`, type);
        if (!declared.has(m[1])) declared.set(m[1], type);
      }
    }
  }
}
for (const p of packages) readDeclarations(path.join(modules, p));

// A name means the declaration of its own file first (short names such as IProbe are
// used by more than one package), then the API's full names.
function resolve(type, seen = 0) {
  while (type.ref && seen++ < 20) {
    const next = declared.get(`${type.file}#${type.ref}`) ?? declared.get(type.ref);
    if (!next || next === type) return {any: true};
    type = next;
  }
  return type;
}

// Each field of `value` not declared by `type`, with its path.
function unknownFields(value, type, where, out) {
  type = resolve(type);
  if (value === null || typeof value !== "object" || type.any) return out;
  if (type.array) {
    if (Array.isArray(value)) value.forEach((v, i) => unknownFields(v, type.array, `${where}[${i}]`, out));
    return out;
  }
  if (type.union) {
    const tries = type.union.map((t) => unknownFields(value, t, where, []));
    return tries.some((t) => t.length === 0) ? out : out.concat(tries[0]);
  }
  if (!type.object || Array.isArray(value)) return out;
  const props = new Map(type.object.props);
  for (const base of type.object.extends ?? []) {
    const b = resolve(base);
    if (b.object) for (const [k, v] of b.object.props) props.set(k, v);
  }
  for (const [key, inner] of Object.entries(value)) {
    if (props.has(key)) {
      unknownFields(inner, props.get(key), `${where}.${key}`, out);
    } else if (type.object.index) {
      unknownFields(inner, type.object.index, `${where}.${key}`, out);
    } else if (!["apiVersion", "kind"].includes(key)) {
      out.push(`${where}.${key}`);
    }
  }
  return out;
}

let failed = false;
const objects = [];
for (const file of files) {
  const documents = yaml.loadAll(fs.readFileSync(file, "utf8")).filter(Boolean);
  for (const doc of documents) {
    const name = `${path.basename(file)}: ${doc.kind} ${doc.metadata?.name ?? ""}`;
    if (doc.kind === "Kustomization") {
      objects.push(doc);
      continue;
    }
    let Model;
    try {
      Model = (await load(modelFile(doc.apiVersion, doc.kind)))[doc.kind];
    } catch {
      console.error(`${name}: no type of the API for ${doc.apiVersion} ${doc.kind}`);
      failed = true;
      continue;
    }
    try {
      new Model(doc).validate();
    } catch (e) {
      console.error(`${name}: ${e.message}`);
      failed = true;
    }
    const declaredIn = path.join(modules, modelFile(doc.apiVersion, doc.kind)).replace(/\.js$/, ".d.ts");
    const unknown = unknownFields(doc, {ref: `I${doc.kind}`, file: declaredIn}, doc.kind, []);
    for (const field of unknown) {
      console.error(`${name}: the API has no field ${field}`);
      failed = true;
    }
    objects.push(doc);
  }
}
if (failed) process.exit(1);
for (const o of objects) console.log(JSON.stringify(o));
