#include "runtime/failures.h"

#include "runtime/crashdump.h"
#include "runtime/log.h"

void translateStructuredException(std::uint32_t code) {
    Platform::setSeTranslator(nullptr);
    cwrpexception fault(code);
    LogManager::instance().logText(LogCrash, fault.text());
    writeCrashDumpIfEnabled();
    throw fault;
}

vexception currentFailure(CallSite site) {
    try {
        throw;
    } catch (const std::exception& e) {
        return vexception(standardExceptionText(e), std::move(site));
    } catch (const vexception& e) {
        vexception copy(e);
        copy.add(std::move(site));
        return copy;
    } catch (const ComError& e) {
        return vexceptionFromComError(e, site.text, site.function.c_str(), site.line);
    } catch (const cwrpexception& e) {
        return vexception(e.text(), std::move(site));
    } catch (...) {
        return vexception(L"Unexpected error", std::move(site));
    }
}
