#include "disksecurity/write_batch.h"

#include "platform/security.h"
#include "runtime/exceptions.h"
#include "winsecurity/object_security.h"

namespace DiskSecurity {

void WriteBatch::_record(IWriteJournal& journal, const std::vector<Write>& batch) {
    std::vector<JournalRecord> records;
    records.reserve(batch.size());
    for (const Write& write : batch) {
        records.push_back(JournalRecord{write.path.shown(), write.descriptor});
    }
    try {
        journal.record(records);
    } catch (...) {
        throw StopRunException(std::current_exception());
    }
}

std::optional<WriteBatch::Failure> WriteBatch::_make(Write& write) {
    try {
        if (write.acl.inherit) {
            WinSecurity::setObjectDaclInherited(write.handle, Platform::SeFileObject,
                                                write.acl.acl);
        } else {
            WinSecurity::setObjectDaclProtected(write.handle, Platform::SeFileObject,
                                                write.acl.acl);
        }
        return std::nullopt;
    } catch (vexception& e) {
        // Written by handle: the error says which object failed.
        e.add(VSITE_TEXT(L"security of " + write.path.shownText(),
                         "SecurityChecker::applyPath"));
        return Failure{write.path, write.allEntriesFlag8, errorCategory(std::current_exception())};
    }
}

}  // namespace DiskSecurity
