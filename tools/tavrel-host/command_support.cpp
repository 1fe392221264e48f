// What the commands of tavrel-host share: finding a command in a table and telling an error.
#include <optional>

#include "platform/system.h"
#include "platform/text.h"
#include "tools/tavrel-host/commands.h"

namespace {

std::optional<std::string> systemMessage(std::uint32_t code) {
    std::wstring text;
    if (!Platform::formatSystemMessage(code, 0, text)) {
        return std::nullopt;
    }
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return Platform::toUtf8(text);
}

}  // namespace

const CommandEntry* findCommand(std::span<const CommandEntry> table, std::string_view name) {
    for (const CommandEntry& entry : table) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

std::string systemText(std::uint32_t code) {
    return systemMessage(code).value_or("error " + std::to_string(code));
}

std::string systemTextWithCode(std::uint32_t code) {
    std::string number = "error " + std::to_string(code);
    std::optional<std::string> message = systemMessage(code);
    return message ? *message + " (" + number + ")" : number;
}
