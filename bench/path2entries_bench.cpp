// The checker builds one Path2Entries for every directory it visits (and for every file with
// the complete checker) and asks for the children entries of each directory, so these two are
// the engine's hottest code. This program maps 100,000 paths of 25 webspaces against the
// 1,000 real entries that the default domain template and a few web users give them, and
// prints paths per second for each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "disksecurity/entry_collection.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

using namespace DiskSecurity;
using Clock = std::chrono::steady_clock;

constexpr std::size_t webspaceCount = 25;
constexpr std::size_t pathCount = 100000;
constexpr std::size_t entryCount = 1000;

// The sub paths of the default domain template with the number of its entries on each.
const std::vector<std::pair<std::wstring, int>> domainTemplate = {
    {L"", 4},
    {L"cgi-bin", 4},
    {L"error_docs", 5},
    {L"logs", 5},
    {L"logs\\iis", 4},
    {L"logs\\FailedRequests", 5},
    {L"logs\\php_errors", 7},
    {L".tarno", 4},
    {L".tarno\\statistics", 1},
};

std::wstring webspace(std::size_t index) {
    return L"C:\\Inetpub\\vhosts\\site" + std::to_wstring(index) + L".example.com";
}

VEntryCollectionPtr buildCollection() {
    auto collection = std::make_shared<VEntryCollection>();
    VSID account = VSID::fromString(L"S-1-5-18");
    for (std::size_t site = 0; collection->entries.size() < entryCount; ++site) {
        std::wstring root = webspace(site % webspaceCount);
        if (site < webspaceCount) {
            for (const auto& [subPath, entries] : domainTemplate) {
                std::wstring path = subPath.empty() ? root : root + L"\\" + subPath;
                for (int i = 0; i < entries && collection->entries.size() < entryCount; ++i) {
                    collection->entries.emplace(account, path, 3, 0x1f01ff, 0x140);
                }
            }
        } else {
            // Web users below httpdocs fill the rest.
            collection->entries.emplace(account, root + L"\\httpdocs\\user" + std::to_wstring(site),
                                        3, 0x1200a9, 0x140);
        }
    }
    return collection;
}

// Paths as a walk meets them: files at depths 0 to 5 below the folders of the webspaces.
std::vector<std::wstring> buildPaths() {
    const wchar_t* tops[] = {L"httpdocs", L"httpdocs", L"httpdocs",
                             L"logs",     L"cgi-bin",  L"error_docs"};
    std::vector<std::wstring> paths;
    paths.reserve(pathCount);
    for (std::size_t i = 0; i < pathCount; ++i) {
        std::wstring path = webspace(i % webspaceCount) + L"\\" + tops[i % 6];
        std::size_t depth = i % 6;
        for (std::size_t level = 0; level < depth; ++level) {
            path += L"\\dir" + std::to_wstring((i / (level + 7)) % 13);
        }
        paths.push_back(path + L"\\file" + std::to_wstring(i % 101) + L".php");
    }
    return paths;
}

// The best of a few rounds, so that other work on the machine does not blur the figure.
template <typename Body>
void measure(const char* what, const std::vector<std::wstring>& paths, Body&& body) {
    constexpr int rounds = 5;
    double best = 0;
    std::uint64_t checksum = 0;
    for (int round = 0; round < rounds; ++round) {
        checksum = 0;
        auto start = Clock::now();
        for (const auto& path : paths) {
            checksum += body(path);
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = round == 0 ? seconds : std::min(best, seconds);
    }
    std::printf("%-24s %zu paths in %.3f s (best of %d): %.0f paths/s (checksum %llu)\n", what,
                paths.size(), best, rounds, static_cast<double>(paths.size()) / best,
                static_cast<unsigned long long>(checksum));
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!Platform::initializeProcess(argc, argv, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    VEntryCollectionPtr collection = buildCollection();
    std::vector<std::wstring> paths = buildPaths();
    std::printf("%zu real entries, %zu paths\n", collection->entries.size(), paths.size());
    measure("Path2Entries", paths, [&](const std::wstring& path) {
        auto mapped = std::make_shared<const Path2Entries>(collection, path);
        return static_cast<std::uint64_t>(mapped->lastIndex() + 1) + mapped->stateFlags();
    });
    measure("collectChildrenEntries", paths, [&](const std::wstring& path) {
        // The children of the path's folder, as the fast algorithm asks for them.
        std::wstring folder = path.substr(0, path.rfind(L'\\'));
        return static_cast<std::uint64_t>(collectChildrenEntries(*collection, folder).size());
    });
    return 0;
}
