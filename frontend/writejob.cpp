#include "writejob.h"

#include "frontend.h"

bool portDriverLoaded = false;

namespace frontend {

namespace {

using Job = WriteJob;

// One stage's run: the front end's hooks, with the pages done kept in state
// for the messages after a stop or a failure.
DataFlashRun stageRun(WriteStage stage, WriteJobReport& report, WriteJobState& state)
{
    DataFlashRun run = report.run(stage);
    auto progress = run.progress;
    run.progress = [&state, progress](unsigned done, unsigned total) {
        state.pagesDone = done;
        if (progress)
            progress(done, total);
    };
    // Whether the driver acted on a stop request, so that a failure while one
    // is pending keeps its own text. One acknowledged during the erase takes
    // effect only after it.
    auto stopRequested = run.stopRequested;
    run.stopRequested = [&state, stopRequested] {
        return state.stopTaken = stopRequested && stopRequested();
    };
    if (auto stopDeferred = run.stopDeferred)
        run.stopDeferred = [&state, stopDeferred](unsigned leftMs) {
            state.stopTaken = false;
            stopDeferred(leftMs);
        };
    return run;
}

bool loadLibrary(const Job& job, QStringList& problem)
{
    QString why;
    if (!(job.loadLink ? job.loadLink(why) : loadPortLibrary(why))) {
        problem << why;
        return false;
    }
    portDriverLoaded = true;
    return true;
}

bool connect(const Job& job, WriteJobState& state, QStringList& problem)
{
    QString portInUse;
    if (!(job.lockLink ? job.lockLink(portInUse) : lockPort(portInUse))) {
        problem << portInUse;
        return false;
    }
    if (job.reach == Job::Reach::Probe)
        return probeChip(ChipUse::Writing, state.chip, problem);
    if (AT45DB041D_Connect())
        return true;
    problem << connectionProblem();
    return false;
}

bool readFile(const Job& job, WriteJobState& state, QStringList& problem)
{
    // Read whole before anything is erased: a run that cannot finish leaves
    // the board's old image in place, and the file changing on disk later
    // cannot change what is written.
    const DataFlashLayout layout = job.fileRead == Job::FileRead::BeforePageSize ? DataFlashLayout::Pages256
                                                                                : DataFlashLayout::PageSizeInForce;
    if (!AT45DB041D_LoadFile(job.path.constData(), state.image, layout)) {
        problem << lastMessage;
        return false;
    }
    return !job.acceptFile || job.acceptFile(state.image, problem);
}

// The one-time switch to 256-byte pages takes effect at the next power-up:
// whether the chip still reads 264-byte pages after it.
bool stillIn264BytePages(WriteJobState& state, QStringList& problem)
{
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatusConfirmed(st)) {
        problem << lastMessage;
        return false;
    }
    state.in264BytePages = !st.pageSize256;
    return true;
}

bool setPageSize(const Job& job, WriteJobState& state, QStringList& problem)
{
    if (!AT45DB041D_SetBinaryPageSize()) {
        problem << lastMessage;
        return false;
    }
    return job.pendingPageSize == Job::PendingPageSize::WriteAnyway || stillIn264BytePages(state, problem);
}

bool erase(const Job& job, WriteJobReport& report, WriteJobState& state, QStringList& problem)
{
    // Sectors the chip will refuse end the job before anything changes.
    if (AT45DB041D_CheckLockdown(state.image, job.locked)
        && AT45DB041D_ChipErase(stageRun(WriteStage::Erase, report, state)))
        return true;
    problem << lastMessage;
    return false;
}

bool program(const Job& job, WriteJobReport& report, WriteJobState& state, QStringList& problem)
{
    const DataFlashRun run = stageRun(WriteStage::Program, report, state);
    bool done = false;
    switch (job.programming) {
    case Job::Programming::WriteAndVerify:
        // Done only once the chip has been read back and holds the file, with
        // the zero padding written after it, and every page after it is
        // proven erased.
        done = AT45DB041D_WriteImage(state.image) && AT45DB041D_VerifyImage(state.image, DataFlashPadding::Zeros)
               && AT45DB041D_ProveErasedAfter(state.image, job.locked);
        break;
    case Job::Programming::Proven:
        done = AT45DB041D_ProgramImage(state.image, DataFlashCheck::Proven, run, job.locked);
        break;
    case Job::Programming::Unchecked:
        done = AT45DB041D_ProgramImage(state.image, DataFlashCheck::Unchecked, run);
        break;
    case Job::Programming::Update:
        done = AT45DB041D_UpdateImage(state.image, run, &state.changed);
        break;
    }
    if (!done)
        problem << lastMessage;
    return done;
}

} // namespace

WriteOutcome runWriteJob(const WriteJob& job, WriteJobReport& report, WriteJobState& state, WriteStage& stage)
{
    QStringList problem;
    // Runs one stage between its report calls; false when it failed.
    auto runStage = [&](WriteStage next, auto&& body) {
        stage = next;
        report.starting(stage, state);
        if (!body()) {
            report.failed(stage, problem, state);
            return false;
        }
        report.finished(stage, state);
        return true;
    };
    const bool fileFirst = job.fileRead == Job::FileRead::BeforePageSize;
    auto file = [&] { return runStage(WriteStage::ReadFile, [&] { return readFile(job, state, problem); }); };

    if (!portDriverLoaded && !runStage(WriteStage::LoadLibrary, [&] { return loadLibrary(job, problem); }))
        return WriteOutcome::Failed;
    if (!runStage(WriteStage::Connect, [&] { return connect(job, state, problem); }))
        return WriteOutcome::Failed;
    if (fileFirst && !file())
        return WriteOutcome::Failed;
    if (report.stopRequested())
        return WriteOutcome::Stopped;

    if (!runStage(WriteStage::PageSize, [&] { return setPageSize(job, state, problem); }))
        return WriteOutcome::Failed;
    // A chip still in 264-byte pages is left unchanged for a run after the
    // power cycle, unless the job writes it as it is.
    if (report.stopRequested())
        return WriteOutcome::Stopped;
    if (state.in264BytePages)
        return WriteOutcome::PowerCycle;
    if (!fileFirst && !file())
        return WriteOutcome::Failed;

    if (job.programming != Job::Programming::Update) {
        if (!runStage(WriteStage::Erase, [&] { return erase(job, report, state, problem); }))
            return WriteOutcome::Failed;
        if (report.stopRequested())
            return WriteOutcome::Stopped;
    }

    stage = WriteStage::Program;
    report.starting(stage, state);
    if (!program(job, report, state, problem)) {
        if (state.stopTaken)
            return WriteOutcome::Stopped;
        report.failed(stage, problem, state);
        return WriteOutcome::Failed;
    }
    // After writing as it is, whether that was in 264-byte pages, for the
    // front end to tell.
    // The layout the file was written in, which the program stage checked
    // against the chip: no status byte spoilt on the wire can lose the
    // notice.
    if (job.pendingPageSize == Job::PendingPageSize::WriteAnyway)
        state.in264BytePages = !state.image.pageSize256;
    report.finished(stage, state);
    return WriteOutcome::Done;
}

} // namespace frontend
