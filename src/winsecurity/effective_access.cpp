#include "winsecurity/effective_access.h"

#include <array>

namespace WinSecurity {

namespace Access = Platform::Dtyp::Access;

const wchar_t* accessClassName(unsigned index) {
    static constexpr std::array<const wchar_t*, AccessClass::Count> names = {
        L"read", L"write", L"execute", L"delete", L"change-permissions"};
    return index < names.size() ? names[index] : L"";
}

std::uint32_t effectiveRights(const Platform::Dtyp::SecurityDescriptor& sd,
                              const Platform::Dtyp::Token& token) {
    // The one access check of the project, the one the emulated host decides its opens with.
    return Platform::Dtyp::accessCheck(sd, token, Access::MaximumAllowed).granted;
}

unsigned accessClasses(std::uint32_t rights, std::uint32_t parentRights) {
    unsigned classes = 0;
    if (rights & Access::FileReadData) {
        classes |= AccessClass::Read;
    }
    if (rights & (Access::FileWriteData | Access::FileAppendData)) {
        classes |= AccessClass::Write;
    }
    if (rights & Access::FileExecute) {
        classes |= AccessClass::Execute;
    }
    if ((rights & Access::Delete) || (parentRights & Access::FileDeleteChild)) {
        classes |= AccessClass::Delete;
    }
    if (rights & (Access::WriteDac | Access::WriteOwner)) {
        classes |= AccessClass::ChangePermissions;
    }
    return classes;
}

}  // namespace WinSecurity
