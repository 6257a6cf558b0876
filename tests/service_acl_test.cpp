// The access lists the Windows installer adds and takes back, edited in memory (Wine
// keeps no access lists of files, so the folder's own cannot be read back there).
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "service/service_acl.h"
// After windows.h.
#include <sddl.h>

namespace {

// An access list from SDDL ("D:(A;;FA;;;SY)..."), as a folder might hold it.
std::vector<BYTE> acl_of(const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    ACL_SIZE_INFORMATION size{};
    GetAclInformation(acl, &size, sizeof size, AclSizeInformation);
    std::vector<BYTE> copy(reinterpret_cast<BYTE*>(acl),
                           reinterpret_cast<BYTE*>(acl) + size.AclBytesInUse);
    LocalFree(descriptor);
    return copy;
}

// The access list as SDDL, to compare.
std::string sddl_of(std::vector<BYTE>& acl) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(&descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    std::string s = text != nullptr ? text : "";
    LocalFree(text);
    return s;
}

TEST(ServiceAcl, InstallAddsItsEntriesAndUninstallTakesBackThoseAlone) {
    struct {
        const char* what;
        const char* folder;  // the folder's list before install
        folder_kind kind;
        const char* installed;  // after install
    } cases[] = {
        {"the exporter's folder: make files, and own them",
         "D:(A;;FA;;;SY)(A;OICIID;0x1200a9;;;BU)", folder_kind::metrics,
         "D:(A;;FA;;;SY)(A;;0x1200a3;;;LS)(A;OIIO;0x13019f;;;CO)(A;OICIID;0x1200a9;;;BU)"},
        {"the service's own log folder", "D:(A;;FA;;;SY)", folder_kind::own,
         "D:(A;;FA;;;SY)(A;OICI;0x13019f;;;LS)"},
        {"a LocalService entry of the folder's own is kept", "D:(A;;0x1200a9;;;LS)",
         folder_kind::metrics, "D:(A;;0x1200a9;;;LS)(A;;0x1200a3;;;LS)(A;OIIO;0x13019f;;;CO)"},
    };
    for (const auto& c : cases) {
        const std::span<const grant> grants = grants_of(c.kind);
        std::vector<BYTE> before = acl_of(c.folder), after, again, undone;
        bool changed = false;
        ASSERT_EQ(acl_with_grants(reinterpret_cast<PACL>(before.data()), grants, &after, &changed),
                  ERROR_SUCCESS)
            << c.what;
        EXPECT_TRUE(changed) << c.what;
        EXPECT_EQ(sddl_of(after), c.installed) << c.what;
        // Installed twice (an update): the same entries, not two of each.
        ASSERT_EQ(acl_with_grants(reinterpret_cast<PACL>(after.data()), grants, &again, &changed),
                  ERROR_SUCCESS);
        EXPECT_FALSE(changed) << c.what;
        EXPECT_EQ(sddl_of(again), c.installed) << c.what;
        int removed = 0;
        ASSERT_EQ(
            acl_without_grants(reinterpret_cast<PACL>(again.data()), grants, &undone, &removed),
            ERROR_SUCCESS);
        EXPECT_EQ(removed, static_cast<int>(grants.size())) << c.what;
        EXPECT_EQ(sddl_of(undone), sddl_of(before)) << c.what;
    }
}

// Folders as in memory: each one's access list, edited as install and uninstall edit a
// folder's list, by the plan of what to grant and take back.
struct folders_in_memory {
    std::map<std::string, std::vector<BYTE>> lists;  // by name in lower case, as Windows finds
    std::vector<granted_folder> record;              // what the service's key holds

    std::vector<BYTE>& acl(std::string name) {
        for (char& c : name) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        return lists[name];
    }

    void grant(const granted_folder& f) {
        std::vector<BYTE> edited;
        bool changed = false;
        ASSERT_EQ(acl_with_grants(reinterpret_cast<PACL>(acl(f.folder).data()), grants_of(f.kind),
                                  &edited, &changed),
                  ERROR_SUCCESS);
        if (changed) {
            acl(f.folder) = edited;
        }
    }
    void revoke(const granted_folder& f) {
        std::vector<BYTE> edited;
        int removed = 0;
        ASSERT_EQ(acl_without_grants(reinterpret_cast<PACL>(acl(f.folder).data()),
                                     grants_of(f.kind), &edited, &removed),
                  ERROR_SUCCESS);
        if (removed > 0) {
            acl(f.folder) = edited;
        }
    }
    void install(const std::vector<granted_folder>& wanted) {
        const grant_plan plan = plan_grants(read_grant_record(grant_record(record)), wanted);
        for (const granted_folder& f : plan.grant) {
            grant(f);
        }
        for (const granted_folder& f : plan.revoke) {
            revoke(f);
        }
        record = wanted;
    }
    void uninstall() {
        for (const granted_folder& f : read_grant_record(grant_record(record))) {
            revoke(f);
        }
        record.clear();
    }
};

TEST(ServiceAcl, AnInstallInAnotherFolderTakesBackTheOldGrantsAndUninstallTheRest) {
    folders_in_memory m;
    const char* system_only = "D:(A;;FA;;;SY)";
    for (const char* folder : {"C:\\A", "C:\\B", "C:\\metrics"}) {
        m.acl(folder) = acl_of(system_only);
    }
    m.install({{"C:\\A", folder_kind::own}, {"C:\\metrics", folder_kind::metrics}});
    EXPECT_EQ(sddl_of(m.acl("C:\\A")), "D:(A;;FA;;;SY)(A;OICI;0x13019f;;;LS)");
    // Again in B (install --log-dir B, or an upgrade with a new LOGDIR); a name that
    // differs only in case is the same folder.
    m.install({{"C:\\B", folder_kind::own}, {"c:\\METRICS", folder_kind::metrics}});
    EXPECT_EQ(sddl_of(m.acl("C:\\A")), system_only);
    EXPECT_EQ(sddl_of(m.acl("C:\\B")), "D:(A;;FA;;;SY)(A;OICI;0x13019f;;;LS)");
    EXPECT_NE(sddl_of(m.acl("C:\\metrics")), system_only);
    m.uninstall();
    for (const char* folder : {"C:\\A", "C:\\B", "C:\\metrics"}) {
        EXPECT_EQ(sddl_of(m.acl(folder)), system_only) << folder;
    }
}

TEST(ServiceAcl, AFolderWithoutAnAccessListIsLeftWithoutOne) {
    // No access list at all: everyone may do anything. An entry for LocalService alone
    // would take every other right away.
    std::vector<BYTE> memory;
    bool changed = true;
    EXPECT_EQ(acl_with_grants(nullptr, grants_of(folder_kind::own), &memory, &changed),
              ERROR_SUCCESS);
    EXPECT_FALSE(changed);
    int removed = -1;
    EXPECT_EQ(acl_without_grants(nullptr, grants_of(folder_kind::own), &memory, &removed),
              ERROR_SUCCESS);
    EXPECT_EQ(removed, 0);
}

TEST(ServiceAcl, TheRecordOfGrantsReadsBackAndAPlanKeepsWhatIsStillWanted) {
    const std::vector<granted_folder> folders{{"C:\\a b", folder_kind::own},
                                              {"D:\\m", folder_kind::metrics}};
    const std::vector<std::string> lines = grant_record(folders);
    EXPECT_EQ(lines, (std::vector<std::string>{"own C:\\a b", "metrics D:\\m"}));
    const std::vector<granted_folder> back = read_grant_record(lines);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].folder, "C:\\a b");
    EXPECT_EQ(back[1].kind, folder_kind::metrics);
    // The same folder wanted as the other kind: the old kind's grants go.
    const grant_plan plan = plan_grants(folders, {{"D:\\m", folder_kind::own}});
    ASSERT_EQ(plan.revoke.size(), 2u);
    EXPECT_EQ(plan.revoke[1].kind, folder_kind::metrics);
}

}  // namespace
