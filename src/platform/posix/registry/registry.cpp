// The emulated registry: HKEY_LOCAL_MACHINE as a tree parsed from `<host>/system.reg`.
//
// Readers use a parsed copy that is cached as long as the file keeps its identity (device,
// inode, size, times), so a query costs one stat(). Writers take an exclusive flock on
// `system.reg.lock`, re-read the file, change a copy of the tree and replace the file whole
// (temporary sibling, fsync, rename), so readers in any process see either the old or the new
// registry and two writers never lose each other's updates. A lock held by a process that dies
// is released with its descriptor.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/host_file.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/posix/registry/regfile.h"
#include "platform/posix/registry/registry_tree.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace Platform::Posix {
namespace fs = std::filesystem;
namespace {

using namespace RegistryTree;

// The identity of one version of system.reg. Every write renames a new file over the old one,
// so the inode alone already tells versions apart; the rest catches edits made in place.
struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool exists = false;

    static Stamp of(const struct stat& st) {
        return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, true};
    }
    bool operator==(const Stamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

struct Snapshot {
    std::uint32_t error = 0;
    std::string detail;
    std::shared_ptr<const Tree> tree;
};

// The parsed registry of each host this process has used, and the lock that serialises every
// registry call of the process.
class Store {
public:
    static Store& instance() {
        static Store store;
        return store;
    }

    std::mutex& lock() { return lock_; }

    // The current registry of `host`; the caller holds lock().
    Snapshot load(const fs::path& host) {
        fs::path file = host / "system.reg";
        Cached& cached = cache_[file.string()];
        struct stat st;
        Stamp stamp;
        if (::stat(file.c_str(), &st) == 0) {
            stamp = Stamp::of(st);
        } else if (errno != ENOENT) {
            return Snapshot{winErrorFromErrno(errno), "cannot read " + file.string(), nullptr};
        }
        if (!(cached.snapshot.tree || cached.snapshot.error) || !(cached.stamp == stamp) ||
            !cached.settled) {
            cached = read(file);
        }
        if (cached.snapshot.error) {
            // The registry calls return the code; the caller may ask which file and line.
            setLastErrorWithDetail(cached.snapshot.error, fromUtf8(cached.snapshot.detail));
        }
        return cached.snapshot;
    }

    // Runs `change` on a fresh copy of the registry of `host` under the file lock and writes the
    // result when it reports a change. The caller holds lock().
    template <typename Change>
    std::uint32_t modify(const fs::path& host, Change&& change) {
        UniqueFd lockFile(
            ::open((host / "system.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (lockFile.get() < 0) {
            return winErrorFromErrno(errno);
        }
        while (::flock(lockFile.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return winErrorFromErrno(errno);
            }
        }
        Snapshot current = load(host);
        if (current.error) {
            return current.error;
        }
        auto tree = std::make_shared<Tree>(*current.tree);
        bool changed = false;
        std::uint32_t result = change(*tree, changed);
        if (result != 0 || !changed) {
            return result;
        }
        fs::path file = host / "system.reg";
        try {
            replaceFileAtomically(file, serialize(*tree));
        } catch (const std::runtime_error&) {
            cache_.erase(file.string());
            return WinError::CantWriteRegistry;
        }
        struct stat st;
        Cached& cached = cache_[file.string()];
        if (::stat(file.c_str(), &st) == 0) {
            cached = Cached{Stamp::of(st), Snapshot{0, {}, std::move(tree)}, settledAt(st)};
        } else {
            cached = Cached{};
        }
        return 0;
    }

private:
    struct Cached {
        Stamp stamp;
        Snapshot snapshot;
        // False while the file was younger than the timestamp granularity when read: an edit
        // in place within the same clock tick would keep size and times, so such a copy is
        // checked again by reading (as git treats "racy" index entries).
        bool settled = true;
    };

    static bool settledAt(const struct stat& st) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec - st.st_mtim.tv_sec > 1;
    }

    static Cached read(const fs::path& file) {
        std::string bytes;
        struct stat st;
        HostFileFailure failure;
        if (!readHostFile(file, bytes, st, failure)) {
            if (failure.missing) {
                // A host without a registry file yet reads as an empty registry.
                return Cached{Stamp{}, Snapshot{0, {}, std::make_shared<Tree>()}};
            }
            return Cached{Stamp{}, Snapshot{failure.error, failure.detail, nullptr}};
        }
        std::vector<RegFileSection> sections;
        RegFileError error;
        if (!parseRegFile(bytes, sections, error)) {
            return Cached{
                Stamp::of(st),
                Snapshot{WinError::RegistryCorrupt, file.string() + ": " + error.text(), nullptr},
                settledAt(st)};
        }
        auto tree = std::make_shared<Tree>();
        applySections(*tree, sections);
        return Cached{Stamp::of(st), Snapshot{0, {}, std::move(tree)}, settledAt(st)};
    }

    std::mutex lock_;
    std::unordered_map<std::string, Cached> cache_;
};

// An open key: the host it belongs to, the path of the key as stored (view applied) and the
// access granted at open time, which each call checks as Windows checks the handle's rights.
class KeyObject : public HandleObject {
public:
    KeyObject(fs::path host, Path path, std::uint32_t access)
        : host(std::move(host)), path(std::move(path)), access(access) {}
    const fs::path host;
    const Path path;
    const std::uint32_t access;
};

struct KeyRef {
    fs::path host;
    Path path;
    std::uint32_t access = 0;
};

bool isPredefinedRoot(RegKey key) {
    auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    return value >= 0x80000000u && value <= 0x80000006u;
}

std::uint32_t resolveKey(RegKey key, KeyRef& ref) {
    if (key == hkeyLocalMachine()) {
        ref = KeyRef{ensureHost(), {}, Reg::KeyAllAccess};
        return 0;
    }
    if (isPredefinedRoot(key)) {
        return WinError::FileNotFound;  // only HKEY_LOCAL_MACHINE is emulated
    }
    auto object = lookupHandle<KeyObject>(key);
    if (!object) {
        return WinError::InvalidHandle;
    }
    ref = KeyRef{object->host, object->path, object->access};
    return 0;
}

// Generic rights of a key as MS-DTYP 2.4.3 maps them (KEY_READ, KEY_WRITE, KEY_EXECUTE,
// KEY_ALL_ACCESS); MAXIMUM_ALLOWED grants everything to the SYSTEM account we run as.
std::uint32_t mapAccess(std::uint32_t sam) {
    constexpr std::uint32_t genericRead = 0x80000000, genericWrite = 0x40000000,
                            genericExecute = 0x20000000, genericAll = 0x10000000,
                            maximumAllowed = 0x02000000;
    std::uint32_t access = sam & ~(Reg::KeyWow64_32Key | Reg::KeyWow64_64Key | genericRead |
                                   genericWrite | genericExecute | genericAll | maximumAllowed);
    if (sam & (genericRead | genericExecute)) {
        access |= Reg::KeyRead;
    }
    if (sam & genericWrite) {
        access |= Reg::KeyWrite;
    }
    if (sam & (genericAll | maximumAllowed)) {
        access |= Reg::KeyAllAccess;
    }
    return access;
}

// The stored path of `subKey` below `base` in the view `sam` names. A 64-bit process sees
// SOFTWARE as it is; its 32-bit view of SOFTWARE is SOFTWARE\WOW6432Node, as WOW64 redirects.
std::uint32_t targetPath(const KeyRef& base, const std::wstring& subKey, std::uint32_t sam,
                         Path& path) {
    if ((sam & Reg::KeyWow64_32Key) && (sam & Reg::KeyWow64_64Key)) {
        return WinError::InvalidParameter;
    }
    if (!subKey.empty() && subKey.front() == L'\\') {
        return WinError::BadPathname;
    }
    path = base.path;
    for (std::wstring& name : splitPath(subKey)) {
        if (name.size() > 255) {
            return WinError::InvalidParameter;
        }
        // system.reg holds one key a line: a line break or another control character in a
        // name would end the key's line and let the rest be read as keys and values of its own.
        if (std::any_of(name.begin(), name.end(),
                        [](wchar_t c) { return c < 0x20 || c == 0x7F; })) {
            return WinError::InvalidParameter;
        }
        path.push_back(std::move(name));
    }
    if ((sam & Reg::KeyWow64_32Key) && !path.empty() && equalsNoCase(path[0], L"SOFTWARE") &&
        !(path.size() > 1 && equalsNoCase(path[1], L"WOW6432Node"))) {
        path.insert(path.begin() + 1, L"WOW6432Node");
    }
    return 0;
}

// The key `subKey` names below `root` (a predefined root or an open key) in the view `sam` asks
// for.
std::uint32_t resolveTarget(RegKey root, const std::wstring& subKey, std::uint32_t sam,
                            KeyRef& base, Path& path) {
    if (std::uint32_t error = resolveKey(root, base)) {
        return error;
    }
    return targetPath(base, subKey, sam, path);
}

RegKey newHandle(const fs::path& host, Path path, std::uint32_t access) {
    return registerHandle(std::make_shared<KeyObject>(host, std::move(path), access));
}

// Runs a seam call and turns what the host layer may throw into a Win32 code: the seam's
// callers expect codes, never exceptions.
template <typename Call>
std::uint32_t guarded(Call&& call) {
    clearLastErrorDetail();
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return WinError::OutOfMemory;
    } catch (const std::exception&) {
        return WinError::CantOpenRegistry;
    }
}

// Runs `call` on the key behind `key`, if its handle was opened with the given right, under the
// store lock.
template <typename Call>
std::uint32_t onKey(RegKey key, std::uint32_t right, Call&& call) {
    return guarded([&]() -> std::uint32_t {
        std::lock_guard guard(Store::instance().lock());
        KeyRef ref;
        if (std::uint32_t error = resolveKey(key, ref)) {
            return error;
        }
        if ((ref.access & right) != right) {
            return WinError::AccessDenied;
        }
        return call(ref);
    });
}

// Reads the key behind `key` with the given right and hands its node to `read`.
template <typename Read>
std::uint32_t readKey(RegKey key, std::uint32_t right, Read&& read) {
    return onKey(key, right, [&](const KeyRef& ref) -> std::uint32_t {
        Snapshot snapshot = Store::instance().load(ref.host);
        if (snapshot.error) {
            return snapshot.error;
        }
        const Node* node = findNode(snapshot.tree->root, ref.path);
        return node ? read(*node) : WinError::KeyDeleted;
    });
}

// Changes the key behind `key` with the given right.
template <typename Change>
std::uint32_t writeKey(RegKey key, std::uint32_t right, Change&& change) {
    return onKey(key, right, [&](const KeyRef& ref) {
        return Store::instance().modify(ref.host, [&](Tree& tree, bool& changed) {
            Node* node = findNode(tree.root, ref.path);
            return node ? change(tree, *node, changed) : WinError::KeyDeleted;
        });
    });
}

// Resolves `subKey` below `root` in the view `sam` and hands the base key and the stored path of
// the target to `act` under the store lock.
template <typename Act>
std::uint32_t atTarget(RegKey root, const std::wstring& subKey, std::uint32_t sam, Act&& act) {
    return guarded([&]() -> std::uint32_t {
        KeyRef base;
        Path path;
        if (std::uint32_t error = resolveTarget(root, subKey, sam, base, path)) {
            return error;
        }
        std::lock_guard guard(Store::instance().lock());
        return act(base, path);
    });
}

}  // namespace

fs::path registryFilePath() {
    return ensureHost() / "system.reg";
}

std::uint32_t checkRegistryFile(std::string& detail) {
    return guarded([&] {
        Store& store = Store::instance();
        std::lock_guard guard(store.lock());
        Snapshot snapshot = store.load(ensureHost());
        detail = snapshot.detail;
        return snapshot.error;
    });
}

std::uint32_t importRegistryText(std::string_view bytes, std::string& detail) {
    return guarded([&]() -> std::uint32_t {
        std::vector<RegFileSection> sections;
        RegFileError error;
        if (!parseRegFile(bytes, sections, error)) {
            detail = error.text();
            return WinError::InvalidData;
        }
        Store& store = Store::instance();
        std::lock_guard guard(store.lock());
        fs::path host = ensureHost();
        std::uint32_t result = store.modify(host, [&](Tree& tree, bool& changed) {
            applySections(tree, sections);
            changed = true;
            return 0u;
        });
        if (result != 0) {
            detail = store.load(host).detail;
        }
        return result;
    });
}

std::uint32_t importRegistryFile(const fs::path& file, std::string& detail) {
    return guarded([&]() -> std::uint32_t {
        UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            std::uint32_t error = winErrorFromErrno(errno);
            detail = "cannot open " + file.string();
            return error;
        }
        // A pipe is fine here (an import may come from another program), but never more than
        // a host file may hold.
        std::string bytes;
        HostFileFailure failure;
        if (!readBounded(fd.get(), file, bytes, failure)) {
            detail = failure.detail;
            return failure.error;
        }
        return importRegistryText(bytes, detail);
    });
}

std::uint32_t exportRegistry(const std::wstring& keyPath, std::string& text) {
    return guarded([&]() -> std::uint32_t {
        Store& store = Store::instance();
        std::lock_guard guard(store.lock());
        Snapshot snapshot = store.load(ensureHost());
        if (snapshot.error) {
            return snapshot.error;
        }
        // The section names spell each key as stored, whatever case the caller used.
        const Node* node = &snapshot.tree->root;
        std::wstring stored;
        for (const std::wstring& name : splitPath(keyPath)) {
            node = findChild(const_cast<Node&>(*node), name);
            if (!node) {
                return WinError::FileNotFound;
            }
            stored += (stored.empty() ? L"" : L"\\") + node->name;
        }
        std::vector<RegFileSection> sections;
        auto collect = [&](auto& self, const Node& key, const std::wstring& name) -> void {
            if (!name.empty() || !key.values.empty()) {
                sections.push_back(sectionOf(key, name));
            }
            for (const Node* child : sortedChildren(key)) {
                self(self, *child, name.empty() ? child->name : name + L'\\' + child->name);
            }
        };
        collect(collect, *node, stored);
        text = formatRegFile(sections);
        return 0;
    });
}

}  // namespace Platform::Posix

namespace Platform {
using namespace Posix;

std::uint32_t regOpenKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t /*options*/,
                           std::uint32_t samDesired, RegKey* result) {
    TAVREL_SEAM_CALL("RegOpenKeyExW");
    if (!result) {
        return WinError::InvalidParameter;
    }
    return atTarget(root, subKey, samDesired, [&](const KeyRef& base, Path& path) {
        Snapshot snapshot = Store::instance().load(base.host);
        if (snapshot.error) {
            return snapshot.error;
        }
        if (!findNode(snapshot.tree->root, path)) {
            return WinError::FileNotFound;
        }
        *result = newHandle(base.host, std::move(path), mapAccess(samDesired));
        return 0u;
    });
}

std::uint32_t regCreateKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t /*options*/,
                             std::uint32_t samDesired, RegKey* result, std::uint32_t* disposition) {
    TAVREL_SEAM_CALL("RegCreateKeyExW");
    if (!result) {
        return WinError::InvalidParameter;
    }
    return atTarget(root, subKey, samDesired, [&](const KeyRef& base, Path& path) {
        bool created = false;
        std::uint32_t error = Store::instance().modify(base.host, [&](Tree& tree, bool& changed) {
            if (findNode(tree.root, path)) {
                return 0u;
            }
            if (!findNode(tree.root, base.path)) {
                return WinError::KeyDeleted;
            }
            if (!(base.access & Reg::KeyCreateSubKey)) {
                return WinError::AccessDenied;
            }
            Node& node = ensureNode(tree, path, created);
            giveSection(tree, node);
            changed = true;
            return 0u;
        });
        if (error) {
            return error;
        }
        if (disposition) {
            *disposition = created ? Reg::RegCreatedNewKey : Reg::RegOpenedExistingKey;
        }
        *result = newHandle(base.host, std::move(path), mapAccess(samDesired));
        return 0u;
    });
}

std::uint32_t regQueryValueEx(RegKey key, const std::wstring& name, std::uint32_t* type,
                              std::uint8_t* data, std::uint32_t* dataSize) {
    TAVREL_SEAM_CALL("RegQueryValueExW");
    if (data && !dataSize) {
        return WinError::InvalidParameter;
    }
    return readKey(key, Reg::KeyQueryValue, [&](const Node& node) -> std::uint32_t {
        const Value* value = findValue(const_cast<Node&>(node), name);
        if (!value) {
            return WinError::FileNotFound;
        }
        if (type) {
            *type = value->type;
        }
        if (!dataSize) {
            return 0u;
        }
        auto size = static_cast<std::uint32_t>(value->data.size());
        std::uint32_t room = *dataSize;
        *dataSize = size;
        if (!data) {
            return 0u;
        }
        if (room < size) {
            return WinError::MoreData;
        }
        std::copy(value->data.begin(), value->data.end(), data);
        return 0u;
    });
}

std::uint32_t regQueryInfoKey(RegKey key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLen,
                              std::uint32_t* valueCount, std::uint32_t* maxValueNameLen,
                              std::uint32_t* maxValueLen) {
    TAVREL_SEAM_CALL("RegQueryInfoKeyW");
    return readKey(key, Reg::KeyQueryValue, [&](const Node& node) -> std::uint32_t {
        std::uint32_t longestKey = 0, longestName = 0, longestData = 0;
        for (const Node& child : node.children) {
            longestKey =
                std::max(longestKey, static_cast<std::uint32_t>(toUtf16(child.name).size()));
        }
        for (const Value& value : node.values) {
            longestName =
                std::max(longestName, static_cast<std::uint32_t>(toUtf16(value.name).size()));
            longestData = std::max(longestData, static_cast<std::uint32_t>(value.data.size()));
        }
        if (subKeyCount) {
            *subKeyCount = static_cast<std::uint32_t>(node.children.size());
        }
        if (maxSubKeyLen) {
            *maxSubKeyLen = longestKey;
        }
        if (valueCount) {
            *valueCount = static_cast<std::uint32_t>(node.values.size());
        }
        if (maxValueNameLen) {
            *maxValueNameLen = longestName;
        }
        if (maxValueLen) {
            *maxValueLen = longestData;
        }
        return 0u;
    });
}

std::uint32_t regSetValueEx(RegKey key, const std::wstring& name, std::uint32_t type,
                            const std::uint8_t* data, std::uint32_t dataSize) {
    TAVREL_SEAM_CALL("RegSetValueExW");
    if (!data && dataSize != 0) {
        return WinError::InvalidParameter;
    }
    return writeKey(key, Reg::KeySetValue, [&](Tree& tree, Node& node, bool& changed) {
        std::vector<std::uint8_t> bytes(data, data + dataSize);
        const Value* existing = findValue(node, name);
        changed =
            !existing || existing->type != type || existing->data != bytes || !node.hasSection;
        if (changed) {
            setValue(tree, node, Value{name, type, std::move(bytes)});
        }
        return 0u;
    });
}

std::uint32_t regDeleteValue(RegKey key, const std::wstring& name) {
    TAVREL_SEAM_CALL("RegDeleteValueW");
    return writeKey(key, Reg::KeySetValue, [&](Tree&, Node& node, bool& changed) {
        changed = std::erase_if(node.values,
                                [&](const Value& v) { return equalsNoCase(v.name, name); }) != 0;
        return changed ? 0u : WinError::FileNotFound;
    });
}

std::uint32_t regDeleteKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t samDesired) {
    TAVREL_SEAM_CALL("RegDeleteKeyExW");
    return atTarget(root, subKey, samDesired, [&](const KeyRef& base, Path& path) {
        if (path.empty()) {
            return WinError::AccessDenied;  // a root hive cannot be deleted
        }
        return Store::instance().modify(base.host, [&](Tree& tree, bool& changed) {
            Node* node = findNode(tree.root, path);
            if (!node) {
                return WinError::FileNotFound;
            }
            if (!node->children.empty()) {
                return WinError::AccessDenied;
            }
            changed = removeNode(tree, path);
            return 0u;
        });
    });
}

std::uint32_t regDeleteTree(RegKey key, const std::wstring& subKey) {
    TAVREL_SEAM_CALL("RegDeleteTreeW");
    return atTarget(key, subKey, 0, [&](const KeyRef& base, Path& path) {
        if (path.empty()) {
            return WinError::AccessDenied;  // the hive itself is never emptied
        }
        return Store::instance().modify(base.host, [&](Tree& tree, bool& changed) {
            Node* node = findNode(tree.root, path);
            if (!node) {
                return subKey.empty() ? WinError::KeyDeleted : WinError::FileNotFound;
            }
            if (!subKey.empty()) {
                changed = removeNode(tree, path);
                return 0u;
            }
            // Emptying a key keeps the key: it keeps (or takes) a section of its own.
            changed = !node->children.empty() || !node->values.empty();
            node->children.clear();
            node->values.clear();
            if (!path.empty()) {
                giveSection(tree, *node);
            }
            return 0u;
        });
    });
}

std::uint32_t regEnumKeyEx(RegKey key, std::uint32_t index, std::wstring& name) {
    TAVREL_SEAM_CALL("RegEnumKeyExW");
    return readKey(key, Reg::KeyEnumerateSubKeys, [&](const Node& node) -> std::uint32_t {
        std::vector<const Node*> children = sortedChildren(node);
        if (index >= children.size()) {
            return WinError::NoMoreItems;
        }
        name = children[index]->name;
        return 0u;
    });
}

std::uint32_t regEnumValue(RegKey key, std::uint32_t index, std::wstring& name, std::uint32_t* type,
                           std::vector<std::uint8_t>* data) {
    TAVREL_SEAM_CALL("RegEnumValueW");
    return readKey(key, Reg::KeyQueryValue, [&](const Node& node) -> std::uint32_t {
        if (index >= node.values.size()) {
            return WinError::NoMoreItems;
        }
        const Value& value = node.values[index];
        name = value.name;
        if (type) {
            *type = value.type;
        }
        if (data) {
            *data = value.data;
        }
        return 0u;
    });
}

// The host keeps one registry for both views, so there is no reflection to switch; the calls
// only check the handle as Windows does.
std::uint32_t regDisableReflectionKey(RegKey key) {
    TAVREL_SEAM_CALL("RegDisableReflectionKey");
    return guarded([&] {
        KeyRef ref;
        return resolveKey(key, ref);
    });
}

std::uint32_t regEnableReflectionKey(RegKey key) {
    TAVREL_SEAM_CALL("RegEnableReflectionKey");
    return regDisableReflectionKey(key);
}

std::uint32_t regCloseKey(RegKey key) {
    TAVREL_SEAM_CALL("RegCloseKey");
    if (isPredefinedRoot(key)) {
        return 0;
    }
    return unregisterHandle<KeyObject>(key) ? 0 : WinError::InvalidHandle;
}

}  // namespace Platform
