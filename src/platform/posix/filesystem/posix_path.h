// Lexical operations on POSIX paths that the host's calls share. POSIX only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Platform::Posix {

// The directory that holds `path`, as dirname(1) says it: "/" for "/x", "." for a name
// without a slash, which is relative to the current directory.
inline std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// `name` in the directory `dir`.
inline std::string joinPosix(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// A POSIX path kept as the path of the directory it lies in and its own name. The handles a walk
// holds deep down, and what the host keeps of them, share the parts above them instead of each
// copying its whole path: their memory grows with the depth, not with its square.
class SharedPath {
public:
    SharedPath() = default;
    // The whole path as written; an empty one is no path. Implicit, as every path the host
    // builds by text is one.
    SharedPath(std::string whole) {  // NOLINT(google-explicit-constructor)
        if (!whole.empty()) {
            node_ = std::make_shared<const Node>(Node{nullptr, std::move(whole)});
        }
    }
    // `name` in the directory `directory` (joinPosix).
    SharedPath(const SharedPath& directory, std::string name) {
        if (directory.empty()) {
            node_ = std::make_shared<const Node>(Node{nullptr, "/" + name});
        } else {
            node_ = std::make_shared<const Node>(Node{directory.node_, std::move(name)});
        }
    }

    bool empty() const { return !node_; }
    // The whole path.
    std::string str() const {
        if (!node_ || !node_->directory) {
            return node_ ? node_->text : std::string();
        }
        std::vector<const Node*> chain;
        std::size_t size = 0;
        for (const Node* node = node_.get(); node; node = node->directory.get()) {
            chain.push_back(node);
            size += node->text.size() + 1;
        }
        std::string whole;
        whole.reserve(size);
        whole = chain.back()->text;
        for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
            if (whole != "/") {
                whole += '/';
            }
            whole += (*it)->text;
        }
        return whole;
    }
    // What follows the last slash.
    std::string_view name() const {
        if (!node_) {
            return {};
        }
        std::string_view text = node_->text;
        return node_->directory ? text : text.substr(text.rfind('/') + 1);
    }

private:
    struct Node {
        std::shared_ptr<const Node> directory;  // null: `text` is the whole path
        std::string text;
    };
    std::shared_ptr<const Node> node_;
};

}  // namespace Platform::Posix
