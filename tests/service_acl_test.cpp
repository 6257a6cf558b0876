// The access lists the Windows installer adds and takes back, edited in memory (Wine
// keeps no access lists of files, so the folder's own cannot be read back there).
#include <gtest/gtest.h>

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
        const grant* grants;
        int count;
        const char* installed;  // after install
    } cases[] = {
        {"the exporter's folder: make files, and own them",
         "D:(A;;FA;;;SY)(A;OICIID;0x1200a9;;;BU)", metrics_folder_grants, 2,
         "D:(A;;FA;;;SY)(A;;0x1200a3;;;LS)(A;OIIO;0x13019f;;;CO)(A;OICIID;0x1200a9;;;BU)"},
        {"the service's own log folder", "D:(A;;FA;;;SY)", own_folder_grants, 1,
         "D:(A;;FA;;;SY)(A;OICI;0x13019f;;;LS)"},
        {"a LocalService entry of the folder's own is kept", "D:(A;;0x1200a9;;;LS)",
         metrics_folder_grants, 2, "D:(A;;0x1200a9;;;LS)(A;;0x1200a3;;;LS)(A;OIIO;0x13019f;;;CO)"},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> before = acl_of(c.folder), after, again, undone;
        ASSERT_EQ(acl_with_grants(reinterpret_cast<PACL>(before.data()), c.grants, c.count, &after),
                  ERROR_SUCCESS)
            << c.what;
        EXPECT_EQ(sddl_of(after), c.installed) << c.what;
        // Installed twice (an update): the same entries, not two of each.
        ASSERT_EQ(acl_with_grants(reinterpret_cast<PACL>(after.data()), c.grants, c.count, &again),
                  ERROR_SUCCESS);
        EXPECT_EQ(sddl_of(again), c.installed) << c.what;
        int removed = 0;
        ASSERT_EQ(acl_without_grants(reinterpret_cast<PACL>(again.data()), c.grants, c.count,
                                     &undone, &removed),
                  ERROR_SUCCESS);
        EXPECT_EQ(removed, c.count) << c.what;
        EXPECT_EQ(sddl_of(undone), sddl_of(before)) << c.what;
    }
}

}  // namespace
