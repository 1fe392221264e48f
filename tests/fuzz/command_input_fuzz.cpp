// What a command reads from its caller: the arguments (one a line) parsed and checked against
// a command's lists, and a list file read through the seam. Refusals are exceptions of the
// error model; nothing else may escape.
#include "frontend/list_file.h"
#include "frontend/params.h"
#include "fuzz_support.h"
#include "platform/text.h"
#include "runtime/exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text = Platform::fromUtf8(FuzzSupport::text(data, size));
    std::vector<std::wstring> args{L"tavrel"};
    for (std::size_t begin = 0; begin <= text.size();) {
        std::size_t end = text.find(L'\n', begin);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        args.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    std::vector<const wchar_t*> argv;
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    try {
        Params params(Params::parse(static_cast<int>(argv.size()), argv.data()));
        params.check({L"--webspace-name", L"--user-name"},
                     {L"--web-users", L"--full-scan", L"--report-file", L"--check-only"});
        params.get(L"--webspace-name");
    } catch (const vexception&) {
    }
    std::wstring file = FuzzSupport::Host::instance().write("list.txt", data, size);
    try {
        for (const auto& item : readListFile(file)) {
            if (item.empty() || item.find_first_of(L"\r\n") != std::wstring::npos) {
                FuzzSupport::broken("a list item that is empty or holds a line end");
            }
        }
    } catch (const vexception&) {
    }
    splitTemplateList(text);
    return 0;
}
