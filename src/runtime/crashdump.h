// Crash dump settings of the configuration key and the dump of a translated hardware fault.
#pragma once

#include <cstdint>
#include <string>

class CrashDumpInfo {
public:
    // The settings, read once per process ("CrashDumpsEnabled", "CrashDumpsLocation",
    // "CrashDumpsMaxCount"); the location directory is created when dumps are enabled.
    static const CrashDumpInfo& instance();

    bool enabled() const { return enabled_; }
    const std::wstring& location() const { return location_; }
    std::uint32_t maxCount() const { return maxCount_; }

    // location\<program name without extension>YYYYMMDD_hhmmss.dmp; throws when disabled.
    std::wstring getFileName() const;
    // Deletes the oldest dumps of this program so that one more keeps at most maxCount.
    void pruneOldDumps() const;

    // Reads the settings now (exposed for tests; instance() reads once).
    static CrashDumpInfo read();

private:
    bool enabled_ = false;
    std::wstring location_;
    std::uint32_t maxCount_ = 10;
};

// Writes a dump of the fault being translated when dumps are enabled; a failure is logged as
// "Unable to generate dump file" and never thrown.
void writeCrashDumpIfEnabled() noexcept;
