// A process that reports events, for the tests of concurrent writers:
//   event_reporter SOURCE TAG COUNT   reports COUNT Information events with the strings
//                                     TAG + "#" + index and a long multi-line text
#include <cstdio>
#include <cstdlib>
#include <string>

#include "event_payload.h"
#include "platform/eventlog.h"
#include "platform/text.h"
#include "platform/unique.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: event_reporter SOURCE TAG COUNT\n", stderr);
        return 2;
    }
    Platform::UniqueEventSource source(
        Platform::registerEventSource(L"", Platform::fromUtf8(argv[1])));
    if (!source) {
        return 1;
    }
    std::wstring tag = Platform::fromUtf8(argv[2]);
    int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        if (!Platform::reportEvent(source.get(), Platform::EventlogInformationType, 0, 1,
                                   {tag + L"#" + std::to_wstring(i), TestPayload::text(i)})) {
            return 1;
        }
    }
    return 0;
}
