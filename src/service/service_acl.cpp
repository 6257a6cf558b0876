#include "service/service_acl.h"

#include <aclapi.h>

#include <cstring>

namespace {

// Whether `ace` is one of `grants`, as acl_with_grants wrote it.
bool is_grant(const ACE_HEADER* ace, std::span<const grant> grants) {
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & INHERITED_ACE) != 0) {
        return false;
    }
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
    for (const grant& g : grants) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof sid;
        if (CreateWellKnownSid(g.who, nullptr, sid, &sid_size) &&
            EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid) && allowed->Mask == g.rights &&
            (allowed->Header.AceFlags & VALID_INHERIT_FLAGS) == g.inheritance) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::span<const grant> grants_of(folder_kind kind) {
    return kind == folder_kind::own ? std::span<const grant>(own_folder_grants)
                                    : std::span<const grant>(metrics_folder_grants);
}

DWORD acl_with_grants(PACL acl, std::span<const grant> grants, std::vector<BYTE>* memory,
                      bool* changed) {
    *changed = false;
    if (acl == nullptr) {
        return ERROR_SUCCESS;  // everyone may do anything already
    }
    if (grants.size() > static_cast<size_t>(max_grants)) {
        return ERROR_INVALID_PARAMETER;
    }
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) {
        return GetLastError();
    }
    const int count = static_cast<int>(grants.size());
    BYTE sids[max_grants][SECURITY_MAX_SID_SIZE];
    DWORD more = 0;
    for (int i = 0; i < count; ++i) {
        DWORD sid_size = sizeof sids[i];
        if (!CreateWellKnownSid(grants[static_cast<size_t>(i)].who, nullptr, sids[i], &sid_size)) {
            return GetLastError();
        }
        more += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE)) + sid_size;
    }
    memory->assign(sizeof(ACL) + size.AclBytesInUse + more, 0);
    auto* result = reinterpret_cast<PACL>(memory->data());
    if (!InitializeAcl(result, static_cast<DWORD>(memory->size()), ACL_REVISION)) {
        return GetLastError();
    }
    // In the canonical order: the folder's own entries, then these (an entry each,
    // unless the same one is there already), then the inherited entries.
    bool added = false;
    const auto add_ours = [&]() -> DWORD {
        for (int g = 0; g < count && !added; ++g) {
            const grant& one = grants[static_cast<size_t>(g)];
            bool there = false;
            for (DWORD i = 0; i < size.AceCount && !there; ++i) {
                void* ace = nullptr;
                there = GetAce(acl, i, &ace) &&
                        is_grant(static_cast<ACE_HEADER*>(ace), std::span<const grant>(&one, 1));
            }
            if (!there) {
                if (!AddAccessAllowedAceEx(result, ACL_REVISION, one.inheritance, one.rights,
                                           sids[g])) {
                    return GetLastError();
                }
                *changed = true;
            }
        }
        added = true;
        return ERROR_SUCCESS;
    };
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) {
            return GetLastError();
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERITED_ACE) != 0 && !added) {
            if (const DWORD status = add_ours(); status != ERROR_SUCCESS) {
                return status;
            }
        }
        if (!AddAce(result, ACL_REVISION, MAXDWORD, ace, header->AceSize)) {
            return GetLastError();
        }
    }
    return added ? ERROR_SUCCESS : add_ours();
}

DWORD acl_without_grants(PACL acl, std::span<const grant> grants, std::vector<BYTE>* memory,
                         int* removed) {
    *removed = 0;
    ACL_SIZE_INFORMATION size{};
    if (acl == nullptr || !GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) {
        return acl == nullptr ? ERROR_SUCCESS : GetLastError();
    }
    memory->assign(size.AclBytesInUse + sizeof(ACL), 0);
    auto* kept = reinterpret_cast<PACL>(memory->data());
    if (!InitializeAcl(kept, static_cast<DWORD>(memory->size()), ACL_REVISION)) {
        return GetLastError();
    }
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) {
            return GetLastError();
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (is_grant(header, grants)) {
            ++*removed;
        } else if (!AddAce(kept, ACL_REVISION, MAXDWORD, ace, header->AceSize)) {
            return GetLastError();
        }
    }
    return ERROR_SUCCESS;
}

namespace {

// Reads `folder`'s access list, hands it to `edit` (which fills `memory` with the new
// one and says whether it differs), and writes the new one back.
template <typename Edit>
DWORD edit_folder_acl(const std::string& folder, Edit edit) {
    PACL old_acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &old_acl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<BYTE> memory;
    bool changed = false;
    status = edit(old_acl, &memory, &changed);
    if (status == ERROR_SUCCESS && changed) {
        status = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                       reinterpret_cast<PACL>(memory.data()), nullptr);
    }
    LocalFree(descriptor);
    return status;
}

}  // namespace

DWORD add_grants(const std::string& folder, std::span<const grant> grants) {
    return edit_folder_acl(folder, [&](PACL acl, std::vector<BYTE>* memory, bool* changed) {
        return acl_with_grants(acl, grants, memory, changed);
    });
}

DWORD remove_grants(const std::string& folder, std::span<const grant> grants, int* removed) {
    return edit_folder_acl(folder, [&](PACL acl, std::vector<BYTE>* memory, bool* changed) {
        const DWORD status = acl_without_grants(acl, grants, memory, removed);
        *changed = *removed > 0;
        return status;
    });
}

namespace {

bool same_folder(const granted_folder& a, const granted_folder& b) {
    return a.kind == b.kind && a.folder.size() == b.folder.size() &&
           _stricmp(a.folder.c_str(), b.folder.c_str()) == 0;
}

bool holds(const std::vector<granted_folder>& folders, const granted_folder& f) {
    for (const granted_folder& g : folders) {
        if (same_folder(g, f)) {
            return true;
        }
    }
    return false;
}

}  // namespace

grant_plan plan_grants(const std::vector<granted_folder>& recorded,
                       const std::vector<granted_folder>& wanted) {
    grant_plan plan;
    for (const granted_folder& f : wanted) {
        if (!holds(plan.grant, f)) {
            plan.grant.push_back(f);
        }
    }
    for (const granted_folder& f : recorded) {
        if (!holds(wanted, f) && !holds(plan.revoke, f)) {
            plan.revoke.push_back(f);
        }
    }
    return plan;
}

std::vector<std::string> grant_record(const std::vector<granted_folder>& folders) {
    std::vector<std::string> lines;
    for (const granted_folder& f : folders) {
        lines.push_back((f.kind == folder_kind::own ? "own " : "metrics ") + f.folder);
    }
    return lines;
}

std::vector<granted_folder> read_grant_record(const std::vector<std::string>& lines) {
    std::vector<granted_folder> folders;
    for (const std::string& line : lines) {
        if (line.starts_with("own ") && line.size() > 4) {
            folders.push_back(granted_folder{line.substr(4), folder_kind::own});
        } else if (line.starts_with("metrics ") && line.size() > 8) {
            folders.push_back(granted_folder{line.substr(8), folder_kind::metrics});
        }
    }
    return folders;
}
