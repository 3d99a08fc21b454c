// Why a serial port refused to open, on Linux: the permission bits of its
// device against this process, and else the process that has it open (the
// holder of its lock first, as /proc/locks shows it, then any process with
// a descriptor of it).
#include "serial/portdiscovery.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The device behind a path (a link such as /dev/serial/by-id/... leads to it).
bool SameDevice(const struct stat& a, const struct stat& b)
{
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

bool IsNumber(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

std::string ProgramName(long pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// A process other than this one that holds a lock on the device's node.
long LockHolder(const struct stat& device)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (!(fields >> number >> kind >> mode >> access >> pid >> where))
            continue;
        unsigned fsMajor = 0, fsMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &inode) != 3)
            continue;
        if (inode == device.st_ino && fsMajor == major(device.st_dev) &&
            fsMinor == minor(device.st_dev) && pid != ::getpid())
            return pid;
    }
    return 0;
}

// The first process other than this one with a descriptor of the device;
// processes of other users are visible to root only.
long DescriptorHolder(const struct stat& device)
{
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr)
        return 0;
    long holder = 0;
    while (holder == 0) {
        const dirent* process = ::readdir(processes);
        if (process == nullptr)
            break;
        if (!IsNumber(process->d_name) || std::stol(process->d_name) == ::getpid())
            continue;
        const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
        DIR* descriptors = ::opendir(fdFolder.c_str());
        if (descriptors == nullptr)
            continue;
        while (const dirent* fd = ::readdir(descriptors)) {
            struct stat target{};
            if (IsNumber(fd->d_name) && ::stat((fdFolder + "/" + fd->d_name).c_str(), &target) == 0 &&
                SameDevice(target, device)) {
                holder = std::stol(process->d_name);
                break;
            }
        }
        ::closedir(descriptors);
    }
    ::closedir(processes);
    return holder;
}

// The reentrant lookups' record and the text it points into: port surveys
// run beside uploads, and getpwuid()'s shared record is no place for that.
// A large group's member list takes a larger text (ERANGE), up to 1 MiB.
template <typename Entry>
struct Looked
{
    Entry entry{};
    std::vector<char> text;
    bool found = false;
};

template <typename Entry, typename Id, typename Lookup>
Looked<Entry> LookUp(Id id, Lookup lookup)
{
    Looked<Entry> looked;
    for (std::size_t size = 4096; size <= (1u << 20); size *= 2) {
        looked.text.resize(size);
        Entry* result = nullptr;
        const int error = lookup(id, &looked.entry, looked.text.data(), looked.text.size(), &result);
        looked.found = error == 0 && result != nullptr;
        if (error != ERANGE)
            break;
    }
    return looked;
}

Looked<passwd> ThisUser()
{
    return LookUp<passwd>(::getuid(), ::getpwuid_r);
}

Looked<group> GroupOf(gid_t id)
{
    return LookUp<group>(id, ::getgrgid_r);
}

bool UserIsListedIn(const group& entry)
{
    const Looked<passwd> user = ThisUser();
    if (!user.found)
        return false;
    if (entry.gr_gid == user.entry.pw_gid)
        return true;
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member)
        if (user.entry.pw_name != nullptr && std::string(*member) == user.entry.pw_name)
            return true;
    return false;
}

} // namespace

PortRefusal ExplainRefusedPort(const std::string& portName)
{
    PortRefusal refusal;
    struct stat device{};
    if (::stat(portName.c_str(), &device) != 0)
        return refusal;
    if (::access(portName.c_str(), R_OK | W_OK) != 0) {
        refusal.reason = PortRefusal::Reason::NoPermission;
        const Looked<group> owner = GroupOf(device.st_gid);
        if (owner.found) {
            refusal.group = owner.entry.gr_name;
            refusal.groupNeedsNewLogin = UserIsListedIn(owner.entry);
        }
        return refusal;
    }
    refusal.holderPid = LockHolder(device);
    if (refusal.holderPid == 0)
        refusal.holderPid = DescriptorHolder(device);
    if (refusal.holderPid != 0)
        refusal.holderName = ProgramName(refusal.holderPid);
    return refusal;
}
