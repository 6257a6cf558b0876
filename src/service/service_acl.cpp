#include "service/service_acl.h"

#include <aclapi.h>

namespace {

// Whether `ace` is one of `grants`, as acl_with_grants wrote it.
bool is_grant(const ACE_HEADER* ace, const grant* grants, int count) {
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & INHERITED_ACE) != 0) {
        return false;
    }
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
    for (int i = 0; i < count; ++i) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof sid;
        if (CreateWellKnownSid(grants[i].who, nullptr, sid, &sid_size) &&
            EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid) &&
            allowed->Mask == grants[i].rights &&
            (allowed->Header.AceFlags & VALID_INHERIT_FLAGS) == grants[i].inheritance) {
            return true;
        }
    }
    return false;
}

}  // namespace

DWORD acl_with_grants(PACL acl, const grant* grants, int count, std::vector<BYTE>* memory) {
    ACL_SIZE_INFORMATION size{};
    if (acl != nullptr && !GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) {
        return GetLastError();
    }
    BYTE sids[max_grants][SECURITY_MAX_SID_SIZE];
    DWORD more = 0;
    for (int i = 0; i < count && i < max_grants; ++i) {
        DWORD sid_size = sizeof sids[i];
        if (!CreateWellKnownSid(grants[i].who, nullptr, sids[i], &sid_size)) {
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
            bool there = false;
            for (DWORD i = 0; i < size.AceCount && !there; ++i) {
                void* ace = nullptr;
                there =
                    GetAce(acl, i, &ace) && is_grant(static_cast<ACE_HEADER*>(ace), &grants[g], 1);
            }
            if (!there && !AddAccessAllowedAceEx(result, ACL_REVISION, grants[g].inheritance,
                                                 grants[g].rights, sids[g])) {
                return GetLastError();
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

DWORD acl_without_grants(PACL acl, const grant* grants, int count, std::vector<BYTE>* memory,
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
        if (is_grant(header, grants, count)) {
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

DWORD add_grants(const std::string& folder, const grant* grants, int count) {
    return edit_folder_acl(folder, [&](PACL acl, std::vector<BYTE>* memory, bool* changed) {
        *changed = true;
        return acl_with_grants(acl, grants, count, memory);
    });
}

DWORD remove_grants(const std::string& folder, const grant* grants, int count, int* removed) {
    return edit_folder_acl(folder, [&](PACL acl, std::vector<BYTE>* memory, bool* changed) {
        const DWORD status = acl_without_grants(acl, grants, count, memory, removed);
        *changed = *removed > 0;
        return status;
    });
}
