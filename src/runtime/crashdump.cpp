#include "runtime/crashdump.h"

#include <algorithm>
#include <vector>

#include "platform/filesystem.h"
#include "platform/pathapi.h"
#include "platform/seh.h"
#include "platform/system.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "runtime/registry.h"

namespace {

std::wstring programStem() {
    std::wstring name = Platform::pathFindFileName(Platform::getModuleFileName());
    return withoutExtension(name);
}

}  // namespace

CrashDumpInfo CrashDumpInfo::read() {
    CrashDumpInfo info;
    registry::Key key;
    registry::open(Platform::hkeyLocalMachine(), configKey, key,
                   0x20201);  // KEY_QUERY_VALUE | READ_CONTROL | KEY_WOW64_32KEY
    std::uint32_t enabled = 1;
    registry::lookup(key, L"CrashDumpsEnabled", enabled);
    std::wstring root;
    registry::lookup(key, L"PRODUCT_ROOT_D", root);
    std::wstring location;
    if (registry::lookup(key, L"CrashDumpsLocation", location) != 0) {
        location = VFileName::combine(root, L"etc\\crashdumps");
    }
    registry::lookup(key, L"CrashDumpsMaxCount", info.maxCount_);
    info.enabled_ = enabled != 0 && !root.empty();
    if (info.enabled_) {
        info.location_ = location;
        VDirectory::createDirectory(location);
    }
    return info;
}

const CrashDumpInfo& CrashDumpInfo::instance() {
    static const CrashDumpInfo info = read();
    return info;
}

std::wstring CrashDumpInfo::getFileName() const {
    if (!enabled_) {
        throw vexception(L"Crash dumping does not enabled", VSITE("CrashDumpInfo::getFileName"));
    }
    Platform::SystemTime t = Platform::getLocalTime();
    return formatString(L"%s\\%s%s", location_, programStem(),
                        formatString(L"%04d%02d%02d_%02d%02d%02d.dmp", t.year, t.month, t.day,
                                     t.hour, t.minute, t.second));
}

void CrashDumpInfo::pruneOldDumps() const {
    if (!enabled_ || maxCount_ == 0) {
        return;
    }
    std::wstring stem = programStem();
    std::vector<std::wstring> dumps;
    VFileFinder finder;
    VFileFinder::Result found;
    for (bool more = finder.first(VFileName::combine(location_, stem + L"*.dmp"), found); more;
         more = finder.next(found)) {
        if (!(found.attributes & Platform::FileAttribute::Directory)) {
            dumps.push_back(found.name);
        }
    }
    // The time stamp in the name orders the dumps from oldest to newest.
    std::sort(dumps.begin(), dumps.end());
    for (std::size_t i = 0; i + maxCount_ <= dumps.size(); ++i) {
        Platform::deleteFile(VFileName::combine(location_, dumps[i]));
    }
}

void writeCrashDumpIfEnabled() noexcept {
    try {
        const CrashDumpInfo& info = CrashDumpInfo::instance();
        if (!info.enabled()) {
            return;
        }
        info.pruneOldDumps();
        if (!Platform::writeCrashDump(info.getFileName())) {
            throwOsError(L"Unable to generate dump file", Platform::getLastError(),
                         VSITE("writeCrashDump"));
        }
    } catch (const vexception& e) {
        LogManager::instance().log(LogError, e);
    } catch (...) {
        LogManager::instance().logText(LogError, L"Unable to generate dump file");
    }
}
