#include "platform/posix/eventlog/eventlog_file.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/posix/host/host.h"
#include "platform/text.h"

namespace Platform::Posix {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view logSuffix = ".log";

struct TypeName {
    std::uint16_t type;
    const wchar_t* name;
};
constexpr TypeName typeNames[] = {
    {0x0000, L"Success"},     {0x0001, L"Error"},         {0x0002, L"Warning"},
    {0x0004, L"Information"}, {0x0008, L"Audit Success"}, {0x0010, L"Audit Failure"},
};

void escapeInto(std::string& out, std::string_view field) {
    for (char c : field) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
}

std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c != '\\' || i + 1 == field.size()) {
            out += c;
            continue;
        }
        switch (field[++i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            default:  // not an escape this writer makes: keep it as it stands
                out += '\\';
                out += field[i];
        }
    }
    return out;
}

bool parseNumber(std::string_view text, std::uint32_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseTime(std::string_view text, SystemTime& time) {
    // "YYYY/MM/DD hh:mm:ss.mmm"
    if (text.size() != 23 || text[4] != '/' || text[7] != '/' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || text[19] != '.') {
        return false;
    }
    std::uint32_t parts[7];
    constexpr std::size_t offsets[7] = {0, 5, 8, 11, 14, 17, 20};
    constexpr std::size_t lengths[7] = {4, 2, 2, 2, 2, 2, 3};
    for (int i = 0; i < 7; ++i) {
        if (!parseNumber(text.substr(offsets[i], lengths[i]), parts[i])) {
            return false;
        }
    }
    time = SystemTime{};
    time.year = static_cast<std::uint16_t>(parts[0]);
    time.month = static_cast<std::uint16_t>(parts[1]);
    time.day = static_cast<std::uint16_t>(parts[2]);
    time.hour = static_cast<std::uint16_t>(parts[3]);
    time.minute = static_cast<std::uint16_t>(parts[4]);
    time.second = static_cast<std::uint16_t>(parts[5]);
    time.milliseconds = static_cast<std::uint16_t>(parts[6]);
    return true;
}

// A log name is a registry key name: anything but a backslash. Keep it readable in the file
// name and escape only what a file name cannot hold or would hide.
std::string encodeLogName(const std::wstring& logName) {
    return percentEncoded(toUtf8(logName), [](unsigned char c, std::size_t at) {
        return !(c == '/' || c == '%' || c < 0x20 || c == 0x7F || (c == '.' && at == 0));
    });
}

std::wstring decodeLogName(std::string_view encoded) {
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        unsigned value = 0;
        if (encoded[i] == '%' && i + 2 < encoded.size() &&
            std::from_chars(encoded.data() + i + 1, encoded.data() + i + 3, value, 16).ptr ==
                encoded.data() + i + 3) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += encoded[i];
        }
    }
    return fromUtf8(out);
}

fs::path eventLogDirectory() {
    return ensureHost() / "eventlog";
}

// The log names of the files in the eventlog directory, each with its file.
std::vector<std::pair<std::wstring, fs::path>> logFiles() {
    std::vector<std::pair<std::wstring, fs::path>> logs;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(eventLogDirectory(), error)) {
        std::string name = entry.path().filename().string();
        if (name.size() <= logSuffix.size() || !name.ends_with(logSuffix) ||
            !entry.is_regular_file(error)) {
            continue;
        }
        logs.emplace_back(decodeLogName(std::string_view(name).substr(0, name.size() - 4)),
                          entry.path());
    }
    return logs;
}

}  // namespace

std::wstring eventTypeName(std::uint16_t type) {
    for (const auto& entry : typeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return std::wstring();
}

std::string formatEventTime(const SystemTime& time) {
    char text[48];
    std::snprintf(text, sizeof(text), "%04u/%02u/%02u %02u:%02u:%02u.%03u", unsigned{time.year},
                  unsigned{time.month}, unsigned{time.day}, unsigned{time.hour},
                  unsigned{time.minute}, unsigned{time.second}, unsigned{time.milliseconds});
    return text;
}

std::string formatEventLine(const EventRecord& record) {
    std::string line = formatEventTime(record.time);
    line += '\t';
    escapeInto(line, toUtf8(eventTypeName(record.type)));
    line += '\t';
    escapeInto(line, toUtf8(record.source));
    line += '\t';
    line += std::to_string(record.eventId);
    for (const auto& text : record.strings) {
        line += '\t';
        escapeInto(line, toUtf8(text));
    }
    line += '\n';
    return line;
}

bool parseEventLine(std::string_view line, EventRecord& record) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos) {
            break;
        }
        start = tab + 1;
    }
    if (fields.size() < 4) {
        return false;
    }
    EventRecord parsed;
    if (!parseTime(fields[0], parsed.time) || !parseNumber(fields[3], parsed.eventId)) {
        return false;
    }
    std::wstring typeName = fromUtf8(unescape(fields[1]));
    auto known = std::find_if(std::begin(typeNames), std::end(typeNames),
                              [&typeName](const TypeName& t) { return typeName == t.name; });
    if (known == std::end(typeNames)) {
        return false;
    }
    parsed.type = known->type;
    parsed.source = fromUtf8(unescape(fields[2]));
    for (std::size_t i = 4; i < fields.size(); ++i) {
        parsed.strings.push_back(fromUtf8(unescape(fields[i])));
    }
    record = std::move(parsed);
    return true;
}

fs::path eventLogFile(const std::wstring& logName) {
    return eventLogDirectory() / (encodeLogName(logName) + std::string(logSuffix));
}

fs::path findEventLogFile(const std::wstring& logName) {
    fs::path exact = eventLogFile(logName);
    std::error_code error;
    if (fs::is_regular_file(exact, error)) {
        return exact;
    }
    for (const auto& [name, file] : logFiles()) {
        if (equalsNoCase(name, logName)) {
            return file;
        }
    }
    return fs::path();
}

std::vector<std::wstring> eventLogNames() {
    std::vector<std::wstring> names;
    for (auto& log : logFiles()) {
        names.push_back(std::move(log.first));
    }
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return compareNoCase(a, b) < 0; });
    return names;
}

std::vector<EventRecord> readEventLog(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<EventRecord> records;
    std::string_view rest(content);
    // Only whole lines count: a last line without its '\n' was never completely written.
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;
         rest.remove_prefix(end + 1)) {
        EventRecord record;
        if (parseEventLine(rest.substr(0, end), record)) {
            records.push_back(std::move(record));
        }
    }
    return records;
}

}  // namespace Platform::Posix
