#include "platform/posix/registry/registry_tree.h"

#include <algorithm>

#include "platform/text.h"

namespace Platform::Posix::RegistryTree {

Node* findChild(Node& node, std::wstring_view name) {
    for (Node& child : node.children) {
        if (equalsNoCase(child.name, name)) {
            return &child;
        }
    }
    return nullptr;
}

Node* findNode(Node& root, const Path& path) {
    Node* node = &root;
    for (const std::wstring& name : path) {
        node = findChild(*node, name);
        if (!node) {
            return nullptr;
        }
    }
    return node;
}

const Node* findNode(const Node& root, const Path& path) {
    return findNode(const_cast<Node&>(root), path);
}

Value* findValue(Node& node, std::wstring_view name) {
    for (Value& value : node.values) {
        if (equalsNoCase(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

Path splitPath(std::wstring_view text) {
    Path path;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find(L'\\', pos);
        if (end == std::wstring_view::npos) {
            end = text.size();
        }
        if (end > pos) {
            path.emplace_back(text.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return path;
}

Node& ensureNode(Tree& tree, const Path& path, bool& created) {
    Node* node = &tree.root;
    created = false;
    for (const std::wstring& name : path) {
        Node* child = findChild(*node, name);
        if (!child) {
            node->children.push_back(Node{name});
            child = &node->children.back();
            created = true;
        } else {
            created = false;
        }
        node = child;
    }
    return *node;
}

void giveSection(Tree& tree, Node& node) {
    if (!node.hasSection) {
        node.hasSection = true;
        node.order = tree.nextOrder++;
    }
}

void setValue(Tree& tree, Node& node, Value value) {
    giveSection(tree, node);
    if (Value* existing = findValue(node, value.name)) {
        existing->type = value.type;
        existing->data = std::move(value.data);
    } else {
        node.values.push_back(std::move(value));
    }
}

bool removeNode(Tree& tree, const Path& path) {
    if (path.empty()) {
        return false;
    }
    Path parentPath(path.begin(), path.end() - 1);
    Node* parent = findNode(tree.root, parentPath);
    if (!parent) {
        return false;
    }
    auto it = std::find_if(parent->children.begin(), parent->children.end(),
                           [&](const Node& n) { return equalsNoCase(n.name, path.back()); });
    if (it == parent->children.end()) {
        return false;
    }
    std::uint64_t order = it->order;
    parent->children.erase(it);
    if (!parentPath.empty() && !parent->hasSection && parent->children.empty()) {
        parent->hasSection = true;
        parent->order = order;
    }
    return true;
}

void applySections(Tree& tree, const std::vector<RegFileSection>& sections) {
    for (const RegFileSection& section : sections) {
        Path path = splitPath(section.path);
        if (section.remove) {
            removeNode(tree, path);
            continue;
        }
        bool created = false;
        Node& node = ensureNode(tree, path, created);
        giveSection(tree, node);
        for (const RegFileValue& value : section.values) {
            if (value.remove) {
                std::erase_if(node.values,
                              [&](const Value& v) { return equalsNoCase(v.name, value.name); });
            } else {
                setValue(tree, node, Value{value.name, value.type, value.data});
            }
        }
    }
}

RegFileSection sectionOf(const Node& node, const std::wstring& path) {
    RegFileSection section;
    section.path = path;
    for (const Value& value : node.values) {
        section.values.push_back(RegFileValue{value.name, false, value.type, value.data});
    }
    return section;
}

std::vector<const Node*> sortedChildren(const Node& node) {
    std::vector<const Node*> children;
    for (const Node& child : node.children) {
        children.push_back(&child);
    }
    std::stable_sort(children.begin(), children.end(), [](const Node* a, const Node* b) {
        return compareNoCase(a->name, b->name) < 0;
    });
    return children;
}

std::string serialize(const Tree& tree) {
    std::vector<std::pair<std::uint64_t, RegFileSection>> written;
    auto collect = [&](auto& self, const Node& node, const std::wstring& path) -> void {
        if (node.hasSection) {
            written.emplace_back(node.order, sectionOf(node, path));
        }
        for (const Node& child : node.children) {
            self(self, child, path.empty() ? child.name : path + L'\\' + child.name);
        }
    };
    collect(collect, tree.root, std::wstring());
    std::stable_sort(written.begin(), written.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<RegFileSection> sections;
    for (auto& entry : written) {
        sections.push_back(std::move(entry.second));
    }
    return formatRegFile(sections);
}

}  // namespace Platform::Posix::RegistryTree
