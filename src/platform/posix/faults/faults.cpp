#include "platform/posix/faults/faults.h"

#ifdef TAVREL_FAULT_INJECTION

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/posix/filesystem/filehandle.h"

namespace Platform::Posix::Faults {
namespace {

struct Rule {
    std::optional<Operation> operation;  // none: every operation
    std::uint32_t error = 0;
    std::uint64_t after = 0;
    std::string path;
    std::uint64_t passed = 0;
};

struct Action {
    std::string name;
    std::string target;  // empty: the entry vanishes
    // Not empty: the directory being listed is renamed to here (as a program of this host
    // renames it, refused while the directory is held without delete sharing; by rename(2)
    // itself when `native`), and `target` takes its place as a link.
    std::string movedTo;
    bool native = false;
    bool done = false;
};

std::optional<Operation> operationNamed(std::string_view name, bool& known) {
    static constexpr std::pair<std::string_view, Operation> names[] = {
        {"set-security", Operation::SetSecurity},   {"create-file", Operation::CreateFile},
        {"write-file", Operation::WriteFile},       {"flush-file", Operation::FlushFile},
        {"replace-file", Operation::ReplaceFile},   {"move-file", Operation::MoveFile},
        {"create-directory", Operation::CreateDirectory},
        {"co-initialize", Operation::CoInitialize},
    };
    known = true;
    for (const auto& [text, operation] : names) {
        if (text == name) {
            return operation;
        }
    }
    known = name == "*";
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t begin = 0;;) {
        std::size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string_view::npos) {
            return parts;
        }
        begin = end + 1;
    }
}

// The rules of TAVREL_FAULTS, read once. A rule that cannot be read stops the process: a test
// that meant a fault must not pass without it.
class Plan {
public:
    static Plan& instance() {
        static Plan plan;
        return plan;
    }
    bool empty() const { return rules_.empty() && actions_.empty(); }

    std::uint32_t injected(Operation operation, const std::string& posixPath) {
        std::lock_guard guard(lock_);
        for (Rule& rule : rules_) {
            // "*" is every file and security operation; COM is named or left alone.
            bool matches = rule.operation ? *rule.operation == operation
                                          : operation != Operation::CoInitialize;
            if (!matches ||
                posixPath.find(rule.path) == std::string::npos) {
                continue;
            }
            if (rule.passed >= rule.after) {
                return rule.error;
            }
            ++rule.passed;
        }
        return 0;
    }

    void afterListing(const std::string& directory, const char* name) {
        std::lock_guard guard(lock_);
        for (Action& action : actions_) {
            if (action.done || action.name != name) {
                continue;
            }
            action.done = true;
            std::error_code ignored;
            if (!action.movedTo.empty()) {
                bool moved = action.native
                                 ? ::rename(directory.c_str(), action.movedTo.c_str()) == 0
                                 : renameUnlessHeld(directory, action.movedTo);
                if (moved) {
                    std::filesystem::create_symlink(action.target, directory, ignored);
                }
                continue;
            }
            std::filesystem::path entry = std::filesystem::path(directory) / name;
            std::filesystem::remove_all(entry, ignored);
            if (!action.target.empty()) {
                std::filesystem::create_symlink(action.target, entry, ignored);
            }
        }
    }

private:
    Plan() {
        const char* text = std::getenv("TAVREL_FAULTS");
        if (!text) {
            return;
        }
        for (std::string_view item : split(text, ';')) {
            if (!item.empty() && !parse(item)) {
                static constexpr char message[] = "TAVREL_FAULTS: a rule cannot be read\n";
                ::write(2, message, sizeof message - 1);
                std::_Exit(70);
            }
        }
    }
    bool parse(std::string_view item) {
        auto fields = split(item, ':');
        if ((fields[0] == "move-away" || fields[0] == "move-away-natively") &&
            fields.size() == 4) {
            actions_.push_back({std::string(fields[1]), std::string(fields[3]),
                                std::string(fields[2]), fields[0] != "move-away"});
            return !fields[1].empty() && !fields[2].empty();
        }
        if ((fields[0] == "vanish" && fields.size() == 2) ||
            (fields[0] == "relink" && fields.size() == 3)) {
            actions_.push_back(
                {std::string(fields[1]), fields.size() == 3 ? std::string(fields[2]) : ""});
            return !fields[1].empty();
        }
        bool known = false;
        Rule rule;
        rule.operation = operationNamed(fields[0], known);
        if (!known || fields.size() < 2) {
            return false;
        }
        rule.error = static_cast<std::uint32_t>(std::strtoul(std::string(fields[1]).c_str(),
                                                             nullptr, 0));
        for (std::size_t i = 2; i < fields.size(); ++i) {
            if (fields[i].starts_with("after=")) {
                rule.after = std::strtoull(std::string(fields[i].substr(6)).c_str(), nullptr, 10);
            } else if (fields[i].starts_with("path=")) {
                rule.path = fields[i].substr(5);
            } else {
                return false;
            }
        }
        if (rule.error == 0) {
            return false;
        }
        rules_.push_back(std::move(rule));
        return true;
    }

    std::mutex lock_;
    std::vector<Rule> rules_;
    std::vector<Action> actions_;
};

}  // namespace

bool active() {
    return !Plan::instance().empty();
}

std::uint32_t injected(Operation operation, const std::string& posixPath) {
    Plan& plan = Plan::instance();
    return plan.empty() ? 0 : plan.injected(operation, posixPath);
}

void afterListing(const std::string& posixDirectory, const char* name) {
    Plan& plan = Plan::instance();
    if (!plan.empty()) {
        plan.afterListing(posixDirectory, name);
    }
}

}  // namespace Platform::Posix::Faults

#endif
