#include "frontend/tavrel_impl.h"

#include <atomic>

#include "frontend/command_context.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "runtime/exceptions.h"
#include "runtime/exclusive_task.h"

namespace {

std::atomic<TavrelImpl*> currentApplication{nullptr};

constexpr const wchar_t* helpText =
    L"\n"
    L"usage: Tavrel [options] ...\n"
    L"\n"
    L"--help\n"
    L"\n"
    L"--create-domain-template    Creates a default domain security template.\n"
    L"                            Optional parameter --file-name specifies the full\n"
    L"                            output file name; if not specified,\n"
    L"                            hosting_template.xml is created in\n"
    L"                            the current directory.\n"
    L"\n"
    L"--create-frame-forwarding-template  The same as above except that the default\n"
    L"                                    file name is frame_forwarding_template.xml.\n"
    L"\n"
    L"--create-webuser-template           The same as above except that the default\n"
    L"                                    file name is webuser_template.xml.\n";

constexpr std::size_t maxMutexName = 260;

}  // namespace

TavrelImpl::TavrelImpl() {
    Platform::setErrorMode(Platform::setErrorMode(0) | Platform::SemNoGpFaultErrorBox);
    currentApplication = this;
    setDefaultCommand(L"--help");
}

TavrelImpl::~TavrelImpl() {
    TavrelImpl* self = this;
    currentApplication.compare_exchange_strong(self, nullptr);
}

TavrelImpl* TavrelImpl::current() {
    return currentApplication;
}

std::wstring TavrelImpl::baseMutexName() {
    return L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}";
}

std::wstring TavrelImpl::webspaceMutexName(const std::wstring& webspace) {
    return formatString(L"%s-%s", baseMutexName(), webspace).substr(0, maxMutexName);
}

std::wstring TavrelImpl::filesharingMutexName() {
    return formatString(L"%s-%s", baseMutexName(), L"fs");
}

void TavrelImpl::usage() {
    Platform::writeStdout(Platform::toUtf8(helpText));
}

int TavrelImpl::go(int argc, const wchar_t* const* argv) {
    // Declared first, gone last: the context below is torn down before the SID cache that its
    // lookups fed is dropped.
    CommandContext::SidCacheScope sidCache;
    Params params(Params::parse(argc, argv));
    CommandContext context;
    std::wstring possibleCommands;
    auto is = [&](const wchar_t* name) {
        if (!possibleCommands.empty()) {
            possibleCommands += L"\n";
        }
        possibleCommands += L"   ";
        possibleCommands += name;
        return command_ == name;
    };
    if (is(L"--help")) {
        usage();
        return 0;
    }
    if (is(L"--create-domain-template") || is(L"--create-frame-forwarding-template") ||
        is(L"--create-webuser-template")) {
        return _createTemplate(params, context);
    }
    if (is(L"--update-path-security")) {
        return _updatePathSecurity(params);
    }
    if (is(L"--repair-webspace-security")) {
        return _repairWebspaceSecurity(params);
    }
    if (is(L"--repair-webspace-path-security")) {
        return _repairWebspacePathSecurity(params);
    }
    if (is(L"--update-webspace-security")) {
        return _updateWebspaceSecurity(params);
    }
    if (is(L"--repair-filesharing")) {
        return _repairFilesharing(params);
    }
    if (is(L"--update-user-filesharing-security")) {
        return _updateUserFilesharingSecurity(params);
    }
    if (is(L"--remove-user-filesharing-security")) {
        return _removeUserFilesharingSecurity(params);
    }
    cmdNotSupported(possibleCommands);
}

// TODO(#5): the update, repair and file-sharing commands get their bodies with #5 and later
// issues.
void TavrelImpl::_notAvailable() const {
    throw vexception(L"command " + command_ + L" is not available in this build",
                     VSITE("TavrelImpl::go"));
}

int TavrelImpl::_createTemplate(const Params& params, CommandContext& context) {
    params.check(nullptr, L"--file-name\0");
    Tavrel::SecurityManager& manager = context.manager();
    std::wstring defaultName;
    if (command_ == L"--create-domain-template") {
        manager.createDomainTemplate();
        defaultName = L"hosting_template.xml";
    } else if (command_ == L"--create-frame-forwarding-template") {
        manager.createFrameForwardingTemplate();
        defaultName = L"frame_forwarding_template.xml";
    } else {
        manager.createWebUserTemplate();
        defaultName = L"webuser_template.xml";
    }
    // A "--file-name" without a value is present and empty: the save then has no name at all
    // and refuses, rather than falling back to the default.
    manager.saveToFile(params.has(L"--file-name") ? params.get(L"--file-name") : defaultName);
    return 0;
}

int TavrelImpl::_updatePathSecurity(const Params& params) {
    params.check(L"--path\0", nullptr);
    ExclusiveTask task;
    task.Initialize(baseMutexName(), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_repairWebspaceSecurity(const Params& params) {
    params.check(L"--webspace-name\0--user-name\0",
                 L"--web-users\0--full-scan\0--report-file\0--check-only\0");
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(params.get(L"--webspace-name")), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_repairWebspacePathSecurity(const Params& params) {
    params.check(L"--webspace-name\0--user-name\0--path\0", nullptr);
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(params.get(L"--webspace-name")), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_updateWebspaceSecurity(const Params& params) {
    params.check(L"--webspace-name\0", L"--pathes-file\0--full-scan\0");
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(params.get(L"--webspace-name")), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_repairFilesharing(const Params&) {
    ExclusiveTask task;
    task.Initialize(filesharingMutexName(), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_updateUserFilesharingSecurity(const Params& params) {
    params.check(L"--vhost-name\0--user\0--user-id\0--private-template\0--template\0", nullptr);
    ExclusiveTask task;
    task.Initialize(filesharingMutexName(), Platform::Infinite);
    _notAvailable();
}

int TavrelImpl::_removeUserFilesharingSecurity(const Params& params) {
    params.check(L"--vhost-name\0--user\0--user-id\0--template\0--private-template\0", nullptr);
    ExclusiveTask task;
    task.Initialize(filesharingMutexName(), Platform::Infinite);
    _notAvailable();
}
