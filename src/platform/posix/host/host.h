// Where the emulated Windows host lives and how a missing or partial one is completed.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace Platform::Posix {

// The host directory: TAVREL_HOST, else ${XDG_DATA_HOME:-$HOME/.local/share}/tavrel/host.
std::filesystem::path hostDirectoryFromEnvironment();

// Creates the host, or completes a partial one, with its defaults; once per process and
// host directory. An existing host (one with its registry file) that lost its accounts file
// gets no new one: reading the accounts then fails with ERROR_FILE_NOT_FOUND naming the file.
// Safe against other processes doing the same at the same moment: every piece is created
// whole under its final name or not at all. Returns the host directory. Throws
// std::runtime_error naming the piece that could not be created.
std::filesystem::path ensureHost();
// The same without a copy: the same object for as long as the host stays the same, so that
// callers on every call can tell a change of host by the pointer.
std::shared_ptr<const std::filesystem::path> currentHost();

// Creates or completes the host at `dir` now, whether or not it was done before; unlike first
// use by ensureHost, which never replaces the accounts file of an existing host, this writes a
// new one (new domain SID) where it is missing, as `tavrel-host init` asks for.
void completeHost(const std::filesystem::path& dir);

// Writes `content` to `target` only if it does not exist yet (temporary file, then link).
void createFileOnce(const std::filesystem::path& target, const std::string& content);

// Replaces `target` by `content` atomically (temporary file in the same directory, flushed,
// then renamed over the target).
void replaceFileAtomically(const std::filesystem::path& target, const std::string& content);

}  // namespace Platform::Posix
