// What the tests of ACL generation and of the checkers share: entries written as table rows
// (an SDDL account alias, a path relative to a webspace, ACE flags, mask, entry flags), a
// webspace tree on the shared host whose DACLs are set and read as SDDL, and a callback that
// records what the walk asked and answers as a test scripts it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disksecurity/security_checker.h"
#include "disksecurity_support.h"
#include "pathmap_support.h"
#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/security.h"
#include "platform/text.h"

namespace CheckerTest {

namespace fs = std::filesystem;
using namespace DiskSecurity;

// An account by its SDDL alias ("BU", "SY") or SID string.
inline VSID account(const std::wstring& alias) {
    auto sid = Platform::Dtyp::sidFromSddl(alias);
    EXPECT_TRUE(static_cast<bool>(sid)) << Platform::toUtf8(alias);
    return VSID(*sid);
}

// One entry of a table: `path` relative to the webspace ("" the webspace itself, "*" any path).
struct Entry {
    std::wstring account;
    std::wstring path;
    std::uint32_t aceFlags = 3;
    std::uint32_t mask = 0x1200A9;
    std::int32_t entryFlags = 0;
};

inline VEntryCollectionPtr collectionOf(const std::wstring& root, const std::vector<Entry>& rows) {
    auto collection = std::make_shared<VEntryCollection>();
    for (const Entry& row : rows) {
        if (row.path == L"*") {
            collection->anyPathEntries.emplace_back(account(row.account), L"*", row.aceFlags,
                                                    row.mask, row.entryFlags);
            continue;
        }
        std::wstring path = row.path.empty() ? root : root + L"\\" + row.path;
        collection->entries.insert(
            RealEntry(account(row.account), path, row.aceFlags, row.mask, row.entryFlags));
    }
    return collection;
}

// The DACL part of an object's descriptor as SDDL ("D:PAI(A;OICI;FA;;;SY)...").
inline std::wstring daclSddl(const std::wstring& path) {
    std::vector<std::uint8_t> descriptor;
    std::uint32_t error = Platform::getNamedSecurityInfo(
        path, Platform::SeFileObject, Platform::SecurityInformation::Dacl, descriptor);
    EXPECT_EQ(error, 0u) << Platform::toUtf8(path);
    auto sd = Platform::Dtyp::decodeSecurityDescriptor(descriptor);
    if (error != 0 || !sd) {
        return L"(unreadable)";
    }
    return Platform::Dtyp::toSddl(*sd, nullptr, Platform::Dtyp::SddlPart::Dacl);
}

// Sets the DACL of an object from SDDL ("D:P(...)" protects, "D:(...)" inherits).
inline void setDacl(const std::wstring& path, const std::wstring& sddl) {
    auto sd = Platform::Dtyp::fromSddl(sddl);
    ASSERT_TRUE(static_cast<bool>(sd)) << Platform::toUtf8(sddl);
    auto bytes = Platform::Dtyp::encodeAcl(*sd->dacl);
    ASSERT_TRUE(static_cast<bool>(bytes));
    bool protect = sd->isDaclProtected();
    std::uint32_t info = Platform::SecurityInformation::Dacl |
                         (protect ? Platform::SecurityInformation::ProtectedDacl
                                  : Platform::SecurityInformation::UnprotectedDacl);
    ASSERT_EQ(Platform::setNamedSecurityInfo(path, Platform::SeFileObject, info, nullptr, nullptr,
                                             bytes->data(), nullptr),
              0u)
        << Platform::toUtf8(path);
}

// Records what a walk asks and answers as scripted: per path, the answers of beforeCheck and
// of onError, one after another, the last repeated.
class RecordingCallback : public Callback {
public:
    CallbackResult onError(ErrorCategory category, const std::wstring& text,
                           const VPath& path, bool) override {
        errors.push_back({category, path.shownText(), text});
        return next(errorAnswers, path.shownText());
    }
    CallbackResult beforeCheck(const VPath& path, bool) override {
        checked.push_back(path.shownText());
        return next(checkAnswers, path.shownText());
    }
    CallbackResult beforeApply(const VPath& path, bool) override {
        applied.push_back(path.shownText());
        return CallbackResult::Continue;
    }

    struct Error {
        ErrorCategory category;
        std::wstring path;
        std::wstring text;
    };
    std::vector<std::wstring> checked;
    std::vector<std::wstring> applied;
    std::vector<Error> errors;
    using Answers = std::map<std::wstring, std::vector<CallbackResult>>;
    Answers checkAnswers;
    Answers errorAnswers;

private:
    static CallbackResult next(Answers& answers, const std::wstring& path) {
        auto it = answers.find(path);
        if (it == answers.end() || it->second.empty()) {
            return CallbackResult::Continue;
        }
        CallbackResult answer = it->second.front();
        if (it->second.size() > 1) {
            it->second.erase(it->second.begin());
        }
        return answer;
    }
};

// A webspace C:\<name> on the shared host: a protected root (SYSTEM and Administrators full
// control) with the given tree below it ("dir/" a folder, anything else a file).
class Webspace {
public:
    Webspace(const std::string& name, const std::vector<std::string>& tree)
        : posix_(DiskSecurityTest::sharedHost().driveC() / "webspaces" / name),
          root_(L"C:\\webspaces\\" + Platform::fromUtf8(name)) {
        fs::remove_all(posix_);
        fs::create_directories(posix_);
        for (const std::string& item : tree) {
            add(item);
        }
        setDacl(root_, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    }
    ~Webspace() {
        std::error_code ignored;
        fs::remove_all(posix_, ignored);
    }

    void add(const std::string& item) {
        if (item.ends_with('/')) {
            fs::create_directories(posix_ / item);
        } else {
            fs::create_directories((posix_ / item).parent_path());
            TestSupport::writeFile(posix_ / item, "x");
        }
    }

    const std::wstring& root() const { return root_; }
    const fs::path& posix() const { return posix_; }
    // The Windows path of `relative` ("a/b" or "a\\b"; "" the root).
    std::wstring path(const std::string& relative) const {
        std::wstring windows = root_;
        if (!relative.empty()) {
            windows += L"\\" + Platform::fromUtf8(relative);
        }
        for (wchar_t& c : windows) {
            c = c == L'/' ? L'\\' : c;
        }
        return windows;
    }
    void set(const std::string& relative, const std::wstring& sddl) const {
        setDacl(path(relative), sddl);
    }
    std::wstring dacl(const std::string& relative) const { return daclSddl(path(relative)); }
    // Every object of the tree (the root as "") with its DACL.
    std::map<std::string, std::wstring> dacls() const {
        std::map<std::string, std::wstring> all{{"", dacl("")}};
        for (const auto& item : fs::recursive_directory_iterator(posix_)) {
            if (!item.is_symlink()) {
                std::string relative = fs::relative(item.path(), posix_).generic_string();
                all[relative] = dacl(relative);
            }
        }
        return all;
    }

    struct Run {
        CheckerCounts counts;
        bool aborted = false;
    };
    // Runs a checker over the webspace with `rows` as its entries.
    Run run(const std::vector<Entry>& rows, CheckMode mode = CheckMode::Repair,
            bool complete = true, Callback* callback = nullptr, const std::wstring& report = {},
            bool walkAll = true) const {
        Callback defaults;
        auto root = std::make_shared<SecurityInformation>(collectionOf(root_, rows));
        std::optional<ReportFile> reportFile;
        if (!report.empty()) {
            reportFile.emplace(report);
        }
        CheckerOptions options{mode, walkAll, false, reportFile ? &*reportFile : nullptr, nullptr};
        Callback& answers = callback ? *callback : defaults;
        std::unique_ptr<SecurityChecker> checker =
            complete ? std::make_unique<CompleteChecker>(answers, options, nullptr)
                     : std::make_unique<SecurityChecker>(answers, options, nullptr);
        Run result;
        try {
            checker->checkPathSecurity(root, VPath(root_));
        } catch (const AbortException&) {
            result.aborted = true;
        }
        result.counts = checker->counts();
        return result;
    }

private:
    fs::path posix_;
    std::wstring root_;
};

}  // namespace CheckerTest
