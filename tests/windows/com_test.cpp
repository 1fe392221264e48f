// COM as the program holds it: the security manager's apartment for its lifetime, the one a
// template load enters for itself, and the reader's error on a thread without COM. Each case
// runs on a thread of its own, which starts without COM.
#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "accounts/user_information.h"
#include "disksecurity/template_xml.h"
#include "manager/security_manager.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "windows/support/win_support.h"

namespace {

// The apartment of the calling thread: APTTYPE_STA, APTTYPE_MTA, ..., or -1 without COM.
int apartment() {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    return SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) ? static_cast<int>(type) : -1;
}

// Runs `body` on a new thread; what it throws fails the test there.
void onNewThread(const std::function<void()>& body) {
    std::thread thread([&] {
        try {
            body();
        } catch (const vexception& e) {
            ADD_FAILURE() << Platform::toUtf8(renderException(e));
        }
    });
    thread.join();
}

std::shared_ptr<IUserInformation> accounts() {
    return std::make_shared<LocalUserInformation>();
}

TEST(WinCom, TheManagerHoldsAnApartmentForItsLifetime) {
    TestSupport::ScratchDir dir;
    const std::wstring file = dir / L"template.xml";
    TestSupport::writeBytes(file, "<Entries><Entry AccounType=\"0\" Account=\"Users\" "
                                  "Path=\"[HTTPD_VHOSTS_D]\" AceFlags=\"3\" AccessMask=\"1\" "
                                  "EntryFlags=\"0\" Tag=\"\" Tag2=\"\"/></Entries>");
    // In order: no COM, an apartment of its own for the manager, and nothing left once the
    // manager is gone; a second manager on the same thread nests in the first.
    onNewThread([&] {
        EXPECT_EQ(apartment(), -1);
        {
            Tavrel::SecurityManager manager(accounts());
            // The first single-threaded apartment of the process is its main one.
            EXPECT_TRUE(apartment() == APTTYPE_STA || apartment() == APTTYPE_MAINSTA)
                << apartment();
            {
                Tavrel::SecurityManager nested(accounts());
            }
            EXPECT_NE(apartment(), -1) << "the nested manager left the outer one's apartment";
            manager.load(file, false);
            EXPECT_EQ(manager.entries()->size(), 1u);
        }
        EXPECT_EQ(apartment(), -1) << "the manager's apartment outlived it";
    });
    // A thread already in the multithreaded apartment keeps it, before and after.
    onNewThread([] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            Tavrel::SecurityManager manager(accounts());
            EXPECT_EQ(apartment(), APTTYPE_MTA);
        }
        EXPECT_EQ(apartment(), APTTYPE_MTA) << "the manager left an apartment it did not enter";
        ::CoUninitialize();
        EXPECT_EQ(apartment(), -1);
    });
}

TEST(WinCom, ATemplateLoadEntersComForItself) {
    TestSupport::ScratchDir dir;
    const std::wstring file = dir / L"template.xml";
    TestSupport::writeBytes(file, "<Entries/>");
    onNewThread([&] {
        auto loaded = DiskSecurity::loadTemplate(file, accounts(), false, true);
        EXPECT_TRUE(loaded);
        EXPECT_EQ(apartment(), -1);
    });
}

TEST(WinCom, TheReaderNamesWhyItCannotBeMade) {
    TestSupport::ScratchDir dir;
    TestSupport::writeBytes(dir / L"t.xml", "<Entries/>");
    onNewThread([&] {
        DiskSecurity::ContentHandlerWrapper reader;
        try {
            reader.parseURL(dir / L"t.xml");
            ADD_FAILURE() << "a thread without COM parsed";
        } catch (const vexception& e) {
            EXPECT_EQ(e.message(), L"XML parsing error: 0x800401F0: CoInitialize has not been called.");
        }
    });
}

}  // namespace
