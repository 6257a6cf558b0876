// The inbound rule of Windows Firewall that `install --firewall` adds for the metrics
// port, through the firewall's own COM interface (INetFwPolicy2): the rule "clockgap
// metrics", TCP in to the port of --listen, for this program only (the watch that
// serves /metrics runs in the service's process), in every profile.
#include <windows.h>
// The interfaces' identifiers are defined here, once.
#include <initguid.h>
#include <netfw.h>

#include <string>

#include "service/service.h"

namespace {

const wchar_t rule_name[] = L"clockgap metrics";

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::string said(const char* what, HRESULT code) {
    char text[160];
    snprintf(text, sizeof text, "%s (error 0x%08lx)", what, static_cast<unsigned long>(code));
    return text;
}

// The firewall's rules, with COM started on this thread; nullptr with why not.
INetFwRules* open_rules(std::string* why) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        *why = said("cannot start COM", hr);
        return nullptr;
    }
    INetFwPolicy2* policy = nullptr;
    hr = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                          reinterpret_cast<void**>(&policy));
    if (FAILED(hr)) {
        *why = said("cannot reach Windows Firewall", hr);
        return nullptr;
    }
    INetFwRules* rules = nullptr;
    hr = policy->get_Rules(&rules);
    policy->Release();
    if (FAILED(hr)) {
        *why = said("cannot read the firewall's rules", hr);
        return nullptr;
    }
    return rules;
}

// Sets each field of the rule; the first failure is the one said.
HRESULT fill_rule(INetFwRule* rule, const std::string& program, int port) {
    BSTR name = SysAllocString(rule_name);
    BSTR about = SysAllocString(
        L"clockgap's metrics over HTTP at /metrics, added by clockgap-service "
        L"install --firewall");
    BSTR application = SysAllocString(wide(program).c_str());
    BSTR ports = SysAllocString(std::to_wstring(port).c_str());
    BSTR grouping = SysAllocString(L"clockgap");
    HRESULT hr = rule->put_Name(name);
    const auto then = [&hr](HRESULT next) {
        if (SUCCEEDED(hr)) {
            hr = next;
        }
    };
    then(rule->put_Description(about));
    then(rule->put_ApplicationName(application));
    then(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP));
    then(rule->put_LocalPorts(ports));
    then(rule->put_Direction(NET_FW_RULE_DIR_IN));
    then(rule->put_Action(NET_FW_ACTION_ALLOW));
    then(rule->put_Profiles(NET_FW_PROFILE2_ALL));
    then(rule->put_Grouping(grouping));
    then(rule->put_Enabled(VARIANT_TRUE));
    for (BSTR b : {name, about, application, ports, grouping}) {
        SysFreeString(b);
    }
    return hr;
}

}  // namespace

bool add_firewall_rule(const std::string& program, int port, std::string* why) {
    INetFwRules* rules = open_rules(why);
    if (rules == nullptr) {
        return false;
    }
    // A rule of this name from an install before is replaced, never doubled.
    BSTR name = SysAllocString(rule_name);
    rules->Remove(name);
    SysFreeString(name);
    INetFwRule* rule = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                                  reinterpret_cast<void**>(&rule));
    if (FAILED(hr)) {
        *why = said("cannot make a firewall rule", hr);
    } else if (hr = fill_rule(rule, program, port); FAILED(hr)) {
        *why = said("cannot set the firewall rule's fields", hr);
    } else if (hr = rules->Add(rule); FAILED(hr)) {
        *why = said("cannot add the firewall rule", hr);
    }
    if (rule != nullptr) {
        rule->Release();
    }
    rules->Release();
    return SUCCEEDED(hr);
}

bool remove_firewall_rule(std::string* why) {
    INetFwRules* rules = open_rules(why);
    if (rules == nullptr) {
        return false;
    }
    BSTR name = SysAllocString(rule_name);
    const HRESULT hr = rules->Remove(name);
    SysFreeString(name);
    rules->Release();
    if (FAILED(hr)) {
        *why = said("cannot remove the firewall rule", hr);
        return false;
    }
    return true;
}
