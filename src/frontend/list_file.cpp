#include "frontend/list_file.h"

#include <cstdio>

#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"

namespace {

constexpr const char* readFunction = "readListFile";

// The pieces of `text` between any of `separators`, empty ones left out, none trimmed.
std::vector<std::wstring> splitDroppingEmpty(const std::wstring& text, const wchar_t* separators) {
    std::vector<std::wstring> items;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find_first_of(separators, begin);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > begin) {
            items.push_back(text.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return items;
}

}  // namespace

std::vector<std::wstring> readListFile(const std::wstring& path) {
    Platform::UniqueHandle file(Platform::createFile(toLongPath(path), Platform::File::GenericRead,
                                                     Platform::File::ShareRead,
                                                     Platform::File::OpenExisting, 0));
    if (!file) {
        throwOsError(formatString(L"Unable to open the list file %s", path),
                     Platform::getLastError(), VSITE(readFunction));
    }
    std::string bytes = readToEnd(file.get(), formatString(L"Unable to read the list file %s", path),
                                  readFunction);
    if (bytes.find('\0') != std::string::npos) {
        throw vexception(
            formatString(L"The list file %s holds a NUL character: it is no text", path),
            VSITE(readFunction));
    }
    return splitDroppingEmpty(Platform::fromAnsi(bytes), L"\r\n");
}

std::vector<std::wstring> splitTemplateList(const std::wstring& list) {
    return splitDroppingEmpty(list, L",");
}

ConsoleProgress::ConsoleProgress(Tavrel::SecurityManager& manager) : manager_(manager) {
    if (Platform::isStdErrorConsole()) {
        active_ = true;
        manager_.setProgress(this);
    }
}

ConsoleProgress::~ConsoleProgress() {
    if (active_) {
        manager_.setProgress(nullptr);
        if (shown_ > 0) {
            Platform::writeStderr("\n");
        }
    }
}

std::wstring ConsoleProgress::line(std::wstring_view path,
                                   const DiskSecurity::CheckerCounts& counts, double seconds,
                                   bool done) {
    std::wstring shownPath(path);
    constexpr std::size_t widest = 48;
    if (shownPath.size() > widest) {
        shownPath = L"..." + shownPath.substr(shownPath.size() - (widest - 3));
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    return std::wstring(done ? L"Done " : L"") + shownPath + L": " +
           std::to_wstring(counts.checked) + L" checked, " + std::to_wstring(counts.wrong) +
           L" wrong, " + std::to_wstring(counts.written) + L" written, " +
           std::to_wstring(counts.failed) + L" failed, " + Platform::fromUtf8(time);
}

void ConsoleProgress::onProgress(const VPath& path, const DiskSecurity::CheckerCounts& counts,
                                 bool done) {
    auto now = std::chrono::steady_clock::now();
    if (!started_) {
        started_ = true;
        start_ = now;
    }
    std::wstring text =
        line(path.shown(), counts, std::chrono::duration<double>(now - start_).count(), done);
    // Blanks rub out what a longer line before left on the screen.
    std::wstring padded = text;
    if (padded.size() < shown_) {
        padded.append(shown_ - padded.size(), L' ');
    }
    Platform::writeStderr("\r" + Platform::toUtf8(padded) + (done ? "\n" : ""));
    shown_ = done ? 0 : text.size();
    if (done) {
        started_ = false;
    }
}
