// The emulated registry's key tree: keys with their values, as parsed from and written back to
// `<host>/system.reg` (in regedit's file form, see regfile.h). Pure data and functions on it;
// the store in registry.cpp keeps one tree per host and serialises every call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/registry/regfile.h"

namespace Platform::Posix::RegistryTree {

struct Value {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// A key. A key written with a [section] of its own keeps its place in the file; a key without
// one exists only because a descendant has one (as regedit files leave parents implicit).
struct Node {
    std::wstring name;
    std::vector<Value> values;
    std::vector<Node> children;  // file order; enumeration sorts as Windows does
    bool hasSection = false;
    std::uint64_t order = 0;  // position of the section in the file
};

struct Tree {
    Node root;
    std::uint64_t nextOrder = 0;
};

using Path = std::vector<std::wstring>;

Node* findChild(Node& node, std::wstring_view name);
Node* findNode(Node& root, const Path& path);
const Node* findNode(const Node& root, const Path& path);
Value* findValue(Node& node, std::wstring_view name);
Path splitPath(std::wstring_view text);
// Creates the missing keys of `path`; true in `created` when the last one is new.
Node& ensureNode(Tree& tree, const Path& path, bool& created);
void giveSection(Tree& tree, Node& node);
void setValue(Tree& tree, Node& node, Value value);
// Removes the key at `path` with its subtree. Its parent stays a key (as it would on
// Windows) even when nothing else below it is written: it takes over the section.
bool removeNode(Tree& tree, const Path& path);
void applySections(Tree& tree, const std::vector<RegFileSection>& sections);
RegFileSection sectionOf(const Node& node, const std::wstring& path);
std::vector<const Node*> sortedChildren(const Node& node);
// The file form: the written sections in their file order.
std::string serialize(const Tree& tree);

}  // namespace Platform::Posix::RegistryTree
