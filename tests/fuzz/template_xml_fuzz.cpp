// The whole load path of a template file on a temporary host: the file read through the
// seam, the XML parsed, every entry checked and its account resolved. Bad input must end in
// an exception of the error model, never a crash, a hang or a leak.
#include "accounts/sid_cache.h"
#include "accounts/user_information.h"
#include "disksecurity/template_xml.h"
#include "fuzz_support.h"
#include "runtime/exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto accounts = [] {
        FuzzSupport::Host::instance();
        SidCache::install(std::make_unique<SidCache::OfflineSidCacheImpl>());
        return std::make_shared<LocalUserInformation>();
    }();
    std::wstring file = FuzzSupport::Host::instance().write("template.xml", data, size);
    for (bool tolerant : {false, true}) {
        try {
            DiskSecurity::loadTemplate(file, accounts, tolerant, true);
        } catch (const vexception&) {
        } catch (const std::exception&) {
        }
    }
    return 0;
}
