// A second process for the object-security tests that need another identity (the host's
// TAVREL_HOST_USER):
//   dacl_writer name PATH     writes a protected DACL (Everyone full control) by name
//   dacl_writer handle PATH   the same through a handle of openForSecurity
// Prints "written", or "error CODE" and the message, and exits 0 or 1.
#include <cstdio>
#include <string>

#include "accounts/vsid.h"
#include "platform/dtyp/ace.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "winsecurity/object_security.h"

int main(int argc, char** argv) {
    std::string error;
    if (argc != 3 || !Platform::initializeProcess(argc, argv, error)) {
        std::fprintf(stderr, "usage: dacl_writer name|handle PATH %s\n", error.c_str());
        return 2;
    }
    std::string mode = argv[1];
    std::wstring path = Platform::fromUtf8(argv[2]);
    try {
        VAcl acl;
        acl.addAces({VAce::create(Platform::Dtyp::AceType::AccessAllowed, 0x3, 0x1F01FF,
                                  VSID::everyone().data())});
        if (mode == "name") {
            WinSecurity::setNamedObjectDacl(path, Platform::SeFileObject, acl);
        } else {
            Platform::UniqueHandle handle = WinSecurity::openForSecurity(path, true);
            WinSecurity::setObjectDaclProtected(handle.get(), Platform::SeFileObject, acl);
        }
        std::puts("written");
        return 0;
    } catch (const vosexception& e) {
        std::printf("error %u\n%s\n", e.errorCode(), Platform::toUtf8(renderException(e)).c_str());
    } catch (const vexception& e) {
        std::printf("error\n%s\n", Platform::toUtf8(renderException(e)).c_str());
    }
    return 1;
}
