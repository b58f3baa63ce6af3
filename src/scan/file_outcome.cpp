// One file's test and disposal.
#include "scan/file_outcome.h"

#include <cstdio>

#include "fs/test_seams.h"
#include "quarantine/quarantine.h"
#include "quarantine/store.h"

namespace {

// What the test found, as request asks for it.
FileCheck Check(const FsFile& file, const FileRequest& request)
{
    if (request.examination == Examination::Known)
        return FileCheck{pe::kNotExecutable, FileVerdict::Infected, 0, -1};
    FileCheck check = ExamineFile(file, request.examination == Examination::Listed ? request.name : nullptr);
    if (request.examination == Examination::Listed && SeamUnreadable(request.name))
        check = FileCheck{pe::kNotExecutable, FileVerdict::Unreadable, FsChangedError(), -1};
    return check;
}

// What was found, so that a report of it stands alone once the file is gone.
void Digest(const FsFile& file, FileOutcome* outcome)
{
    uint8_t digest[32];
    if (!StoreDigest(file, digest, &outcome->size)) {
        outcome->size = 0;
        return;
    }
    for (size_t i = 0; i < sizeof digest; ++i)
        std::snprintf(outcome->sha256 + 2 * i, 3, "%02x", digest[i]);
}

}  // namespace

FileOutcome TestAndDispose(FsFile* file, const FileRequest& request, const DisposalPolicy& policy,
                           const DisposalGate* gate)
{
    FileOutcome outcome{Check(*file, request), Handling::Reported, 0, false, 0, ""};
    if (outcome.check.verdict != FileVerdict::Infected)
        return outcome;
    Digest(*file, &outcome);
    if (!PolicyChanges(policy))
        return outcome;
    const bool move = policy.action == Disposal::Move;
    const Handling failed = move ? Handling::NotMoved : Handling::NotDeleted;
    if (gate != nullptr && !gate->mayGo(gate->context)) {
        outcome.handling = failed;
        outcome.stopped = true;
        return outcome;
    }
    char marker[64] = "Zaverin marker";
    if (outcome.check.form >= 0)
        std::snprintf(marker, sizeof marker, "Zaverin marker, form 0x%02x", static_cast<unsigned>(outcome.check.form));
    const char* why = request.why != nullptr ? request.why : marker;
    const FsDisposal done =
        move ? QuarantineFile(policy.moveFolder, file, request.path, why, request.target, request.capacity)
             : FsDispose(file, nullptr, policy.atRestart, request.target, request.capacity);
    switch (done.outcome) {
    case FsOutcome::Deleted: outcome.handling = Handling::Deleted; break;
    case FsOutcome::Moved: outcome.handling = Handling::Moved; break;
    case FsOutcome::DeleteAtRestart: outcome.handling = Handling::DeleteAtRestart; break;
    case FsOutcome::NotDone:
        outcome.handling = failed;
        outcome.error = done.error;
        break;
    }
    return outcome;
}

bool OutcomeGone(const FileOutcome& outcome)
{
    return outcome.check.verdict == FileVerdict::Infected &&
           (outcome.handling == Handling::Deleted || outcome.handling == Handling::Moved ||
            outcome.handling == Handling::DeleteAtRestart);
}

void CountOutcome(ScanCounts* counts, const FileOutcome& outcome)
{
    if (outcome.check.verdict == FileVerdict::Unreadable)
        ++counts->skipped;
    if (outcome.check.verdict != FileVerdict::Infected)
        return;
    const Handling handling = outcome.handling;
    ++counts->infected;
    counts->deleted += handling == Handling::Deleted || handling == Handling::DeleteAtRestart;
    counts->moved += handling == Handling::Moved;
    counts->atRestart += handling == Handling::DeleteAtRestart;
    counts->unhandled += handling == Handling::NotDeleted || handling == Handling::NotMoved;
}
