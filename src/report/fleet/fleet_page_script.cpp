// The fleet page's script. It only adds to the static page: a search box over every
// host, worst first, that draws the host's lane (as the named lanes are drawn, from the
// page's data) under the box, marks its name when it has a lane of its own, and
// keeps the search in the address (#host=NAME), so that a link opens on a host.
#include "report/fleet/fleet_page.h"

const char fleet_page_script[] = R"JS(
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("fleet-data").textContent);
  var NS = "http://www.w3.org/2000/svg";
  var box = document.getElementById("find-name"), said = document.getElementById("find-said");
  var lane = document.getElementById("found-lane"), list = document.getElementById("find-names");
  var names = data.hosts.map(function (h) { return h[0]; });
  names.forEach(function (n) {
    var o = document.createElement("option");
    o.value = n;
    list.appendChild(o);
  });
  document.getElementById("find").hidden = false;

  function el(tag, attrs, text) {
    var e = document.createElementNS(NS, tag);
    Object.keys(attrs).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    if (text !== undefined) e.textContent = text;
    return e;
  }
  // A worst gap of `us` microseconds as the page's titles give it (the report writes the
  // same): "850 us", "1.13 ms", "6.501 s", "1.5 days", the last digit rounded half to even.
  function duration(us) {
    if (us < 1000) return us + " us";
    if (us < 1e6) return rounded(us, 10, 2) + " ms";
    if (us < 864e8) return rounded(us, 1000, 3) + " s";
    return rounded(us, 864e7, 1) + " days";
  }
  function rounded(us, unit, places) {
    var q = Math.floor(us / unit), r = us - q * unit;
    if (2 * r > unit || (2 * r === unit && q % 2 === 1)) q += 1;
    var s = String(q);
    while (s.length <= places) s = "0" + s;
    return s.slice(0, s.length - places) + "." + s.slice(s.length - places);
  }
  function level(us) {
    var ms = Math.max(us, 1000) / 1000;
    var at = Math.round(Math.log10(ms) / Math.log10(5000) * (data.levels - 1));
    return Math.min(Math.max(at, 0), data.levels - 1);
  }
  function colour(lv) {
    var at = lv / (data.levels - 1) * 4, from = Math.min(Math.floor(at), 3), t = at - from;
    var a = parseInt(data.stops[from].slice(1), 16), b = parseInt(data.stops[from + 1].slice(1), 16);
    var out = "#";
    [16, 8, 0].forEach(function (shift) {
      var x = (a >> shift) & 255, y = (b >> shift) & 255;
      out += ("0" + Math.floor(x + (y - x) * t + 0.5).toString(16)).slice(-2);
    });
    return out;
  }

  function draw(i) {
    var h = data.hosts[i], y = 2, height = data.lane - 1;
    while (lane.firstChild) lane.removeChild(lane.firstChild);
    lane.setAttribute("data-host", h[0]);
    lane.appendChild(el("text", {x: data.x - 6, y: y + data.lane * 0.75, "text-anchor": "end"}, h[0]));
    lane.appendChild(el("text", {class: "chief", x: data.x + data.columns * data.cell + 6,
                                 y: y + data.lane * 0.75}, h[1]));
    var worst = h[2].split(",").map(function (w) { return w === "" ? -1 : Number(w); });
    for (var c = 0; c < worst.length;) {
      var end = c + 1, most = worst[c], lv = worst[c] >= 0 ? level(worst[c]) : -1;
      while (worst[c] >= 0 && end < worst.length && worst[end] >= 0 &&
             level(worst[end]) === lv) {
        most = Math.max(most, worst[end]);
        end += 1;
      }
      if (worst[c] >= 0) {
        var r = el("rect", {x: (data.x + c * data.cell).toFixed(2), y: y,
                            width: ((end - c) * data.cell + 0.05).toFixed(2), height: height,
                            fill: colour(lv)});
        r.appendChild(el("title", {}, h[0] + ": worst gap " + duration(most)));
        lane.appendChild(r);
      }
      c = end;
    }
    h[3].split(" ").filter(Boolean).forEach(function (step) {
      var x = data.x + Number(step.slice(1)) * 1000 / data.column_ms * data.cell;
      var m = el("rect", {class: "step", x: x.toFixed(2), y: y, width: 1.5, height: height});
      m.appendChild(el("title", {}, step[0] === "b" ? "clock_set_back" : "gap_above_5s"));
      lane.appendChild(m);
    });
    lane.removeAttribute("hidden");
  }

  function mark(name) {
    Array.prototype.forEach.call(document.querySelectorAll("#lanes text.hit"), function (t) {
      t.classList.remove("hit");
    });
    var g = Array.prototype.find.call(document.querySelectorAll("#lanes g.lane"), function (e) {
      return e.getAttribute("data-host") === name;
    });
    if (g) g.querySelector("text").classList.add("hit");
  }

  // The host named `text`: exactly, else ignoring case, else the one whose name begins so.
  function lookup(text) {
    var i = names.indexOf(text);
    if (i >= 0) return [i];
    var low = text.toLowerCase();
    var same = names.reduce(function (a, n, j) { return n.toLowerCase() === low ? a.concat(j) : a; }, []);
    if (same.length) return same;
    return names.reduce(function (a, n, j) { return n.toLowerCase().indexOf(low) === 0 ? a.concat(j) : a; }, []);
  }

  function find(text) {
    text = text.trim();
    if (!text) return;
    var found = lookup(text);
    if (found.length !== 1) {
      said.textContent = found.length ? found.length + " hosts begin with " + text + ": " +
        names[found[0]] + ", " + names[found[1]] + (found.length > 2 ? ", \u2026" : "") :
        "no host is named " + text;
      lane.setAttribute("hidden", "");
      mark("");
      return;
    }
    var i = found[0], h = data.hosts[i];
    said.textContent = h[0] + ": ranked " + (i + 1) + " of " + names.length + ", worst first" +
      (h[1] ? "; chief cause " + h[1] : "") + (i < data.named ? "; its lane is above" : "");
    draw(i);
    mark(h[0]);
    if (history.replaceState) history.replaceState(null, "", "#host=" + encodeURIComponent(h[0]));
  }

  box.addEventListener("change", function () { find(box.value); });
  box.addEventListener("input", function () { if (names.indexOf(box.value) >= 0) find(box.value); });
  var asked = /^#host=(.*)$/.exec(location.hash);
  if (asked) {
    try {
      box.value = decodeURIComponent(asked[1]);
    } catch (e) {
      box.value = asked[1];  // not percent-encoded as a link would be: taken as it stands
    }
    find(box.value);
  }
})();
)JS";
