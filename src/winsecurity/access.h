// Access masks of files and directories compared as Windows grants them: generic rights stand
// for the file rights they map to (FILE_GENERIC_READ and so on), so GENERIC_ALL and
// FILE_ALL_ACCESS are the same grant.
#pragma once

#include <cstdint>
#include <functional>

// The mask with GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE and GENERIC_ALL replaced by the
// file rights they stand for; every other bit stays.
std::uint32_t mapGenericAccess(std::uint32_t mask);
// Every right of `a` is in `b`, both mapped.
bool accessContains(std::uint32_t a, std::uint32_t b);
// `a` and `b` grant the same rights, both mapped.
bool accessEquals(std::uint32_t a, std::uint32_t b);

// How a dump shows an access mask (for instance mapGenericAccess); empty shows it raw.
using MaskMapper = std::function<std::uint32_t(std::uint32_t)>;
