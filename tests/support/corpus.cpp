#include "support/corpus.h"

#include <stdexcept>

#include "platform/text.h"

namespace TestSupport {

namespace {

std::string_view corpusText(const std::string& file) {
    for (std::size_t i = 0; i < embeddedCorpusCount; ++i) {
        if (file == embeddedCorpora[i].name) {
            return embeddedCorpora[i].text;
        }
    }
    throw std::runtime_error("no corpus tests/data/" + file + " in this program");
}

// One side of a case: `""` is empty, `\x{HEX}` a character by its code.
std::wstring decode(std::string_view text, const std::string& where) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ') {
        throw std::runtime_error(where +
                                 ": a text is empty or starts or ends with a space; write " +
                                 "\"\" for the empty text and \\x{20} for a space at its ends");
    }
    if (text == "\"\"") {
        return {};
    }
    std::wstring out;
    std::size_t start = 0;  // of the UTF-8 text not yet decoded
    for (std::size_t at = text.find("\\x{"); at != std::string_view::npos;
         at = text.find("\\x{", start)) {
        out += Platform::fromUtf8(text.substr(start, at - start));
        std::size_t close = text.find('}', at);
        std::string_view digits = close == std::string_view::npos
                                      ? std::string_view{}
                                      : text.substr(at + 3, close - at - 3);
        if (digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
            throw std::runtime_error(where + ": \\x{ takes one to four hexadecimal digits and }");
        }
        unsigned long code = std::stoul(std::string(digits), nullptr, 16);
        if (code >= 0xD800 && code <= 0xDFFF) {
            throw std::runtime_error(where + ": \\x{" + std::string(digits) + "} is a surrogate");
        }
        out += static_cast<wchar_t>(code);
        start = close + 1;
    }
    return out + Platform::fromUtf8(text.substr(start));
}

}  // namespace

std::vector<CorpusCase> loadCorpus(std::string_view name) {
    const std::string file = std::string(name) + ".txt";
    std::string_view text = corpusText(file);
    std::vector<CorpusCase> cases;
    int number = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string where = "tests/data/" + file + ":" + std::to_string(number);
        constexpr std::string_view arrow = " -> ";
        std::size_t split = line.find(arrow);
        if (split == std::string_view::npos ||
            line.find(arrow, split + arrow.size()) != std::string_view::npos) {
            throw std::runtime_error(where + ": a case is `input -> expected`, with one \" -> \"");
        }
        cases.push_back({"tests/data/" + file, number, decode(line.substr(0, split), where),
                         decode(line.substr(split + arrow.size()), where)});
    }
    if (cases.empty()) {
        throw std::runtime_error("tests/data/" + file + " has no cases");
    }
    return cases;
}

}  // namespace TestSupport
