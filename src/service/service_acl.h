// The access lists that `install` adds to the service's folders and `uninstall` takes
// back, exactly those and nothing else. The editing works on an access list in memory;
// the folder's list is read and written around it.
#pragma once

#include <windows.h>
// After windows.h: the inheritance flags of access lists.
#include <aclapi.h>

#include <iterator>
#include <span>
#include <string>
#include <vector>

struct grant {
    WELL_KNOWN_SID_TYPE who;
    DWORD rights, inheritance;
};

// The service's own log folder: LocalService makes, writes and removes files in it and
// below it.
inline constexpr grant own_folder_grants[] = {{WinLocalServiceSid,
                                               FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                                               SUB_CONTAINERS_AND_OBJECTS_INHERIT}};
// A metrics file's folder belongs to another product (the exporter's textfile folder):
// LocalService may only list it and make files in it, and a file it makes is its own
// (CREATOR OWNER, inherited by new files only), so it writes, replaces and removes its
// own files and never another's. The metrics file is still replaced whole (a part, then
// a move), which making one existing file writable could not do.
inline constexpr grant metrics_folder_grants[] = {
    {WinLocalServiceSid,
     FILE_ADD_FILE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE |
         READ_CONTROL,
     NO_INHERITANCE},
    {WinCreatorOwnerSid, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
     OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE}};
inline constexpr int max_grants = 2;
static_assert(std::size(own_folder_grants) <= max_grants &&
              std::size(metrics_folder_grants) <= max_grants);

// The two kinds of folder install grants rights on, and their grants.
enum class folder_kind { own, metrics };
std::span<const grant> grants_of(folder_kind kind);

// `acl` with an entry for each of `grants` (unless it holds the same one already) after
// its own entries and before the inherited ones, into `memory`; `*changed` false when it
// needs none. A folder without an access list (a NULL DACL: everyone may do anything)
// is left so: an entry would take every other right away. ERROR_SUCCESS or the error.
DWORD acl_with_grants(PACL acl, std::span<const grant> grants, std::vector<BYTE>* memory,
                      bool* changed);
// `acl` without the entries that acl_with_grants added for `grants` (not inherited,
// the same trustee, flags and no other right), into `memory`; `*removed`: how many.
DWORD acl_without_grants(PACL acl, std::span<const grant> grants, std::vector<BYTE>* memory,
                         int* removed);

// The same on a folder's own access list.
DWORD add_grants(const std::string& folder, std::span<const grant> grants);
DWORD remove_grants(const std::string& folder, std::span<const grant> grants, int* removed);

// A folder install granted rights on, and which.
struct granted_folder {
    std::string folder;
    folder_kind kind;
};
// What an install does with the folders that the one before it granted (`recorded`):
// grants on each folder it wants, and takes back the grants of every recorded folder it
// no longer wants (a folder wanted as the other kind counts as another). Names are
// compared as Windows compares them, without regard to case.
struct grant_plan {
    std::vector<granted_folder> grant, revoke;
};
grant_plan plan_grants(const std::vector<granted_folder>& recorded,
                       const std::vector<granted_folder>& wanted);
// The record kept of them, a line each ("own C:\x", "metrics C:\y"), and back.
std::vector<std::string> grant_record(const std::vector<granted_folder>& folders);
std::vector<granted_folder> read_grant_record(const std::vector<std::string>& lines);
