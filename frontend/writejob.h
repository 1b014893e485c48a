// The job that puts a file on the chip, stage by stage, for both front ends:
// the order of the stages and the driver calls they make live here once;
// each front end says how a stage is shown, how a failure is told and when a
// stop is asked for. Nothing here knows of widgets or of a terminal.
#pragma once

#include "at45db041d.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

// Set once the port library has loaded; it is not loaded again after that.
extern bool portDriverLoaded;

namespace frontend {

// The stages, in the order they can appear.
enum class WriteStage {
    LoadLibrary, // only while the port library is not loaded yet
    Connect,     // the port's lock, then the chip found and writable
    PageSize,    // 256-byte pages set (a one-time switch)
    ReadFile,    // the file read whole and checked, before anything is changed
    Erase,       // the lockdown checked, then the whole chip erased (not for an update)
    Program,     // the file programmed, and checked as the job asks
};

// What the stages do where the two front ends differ.
struct WriteJob {
    QByteArray path; // the file, in the platform's file-name encoding

    // When the file is read: after the page-size stage, checked for the page
    // size then in force; or before it, checked for 256-byte pages, so that
    // a file that cannot be written leaves even the page size untouched.
    enum class FileRead { AfterPageSize, BeforePageSize } fileRead = FileRead::BeforePageSize;

    // How the chip is found: AT45DB041D_Connect and its own texts; or the
    // probe, whose refusal adds a line of advice (see probeChip).
    enum class Reach { Connect, Probe } reach = Reach::Probe;

    // A chip still in 264-byte pages after the page-size stage (the switch
    // takes effect at the next power-up): written as it is, the front end
    // telling the user afterwards; or left as it is, the job ending before
    // the erase.
    enum class PendingPageSize { WriteAnyway, StopBeforeErase } pendingPageSize = PendingPageSize::StopBeforeErase;

    // What the program stage does.
    enum class Programming {
        WriteAndVerify, // byte-wise programming, then a verify with the zero padding
        Proven,         // AT45DB041D_ProgramImage, every page proven on the chip
        Unchecked,      // AT45DB041D_ProgramImage without a check
        Update,         // AT45DB041D_UpdateImage: no erase, only pages that differ
    } programming = Programming::Proven;

    // A check of the file's bytes as read for the job, before anything on
    // the chip is changed: false refuses the file, with its lines in
    // problem (the read stage fails). None: every file is written as it is.
    std::function<bool(const DataFlashImage& image, QStringList& problem)> acceptFile;

    // Sectors after the file locked down for good, which the erase cannot
    // clear: the job refused before the erase, or they are kept as they are.
    DataFlashLocked locked = DataFlashLocked::Refuse;

    // How the link is made ready, then taken for this program: none, the
    // port library loaded and the port locked (loadPortLibrary, lockPort).
    // A front end that chose another link gives its own; false with why.
    std::function<bool(QString& problem)> loadLink;
    std::function<bool(QString& problem)> lockLink;
};

// Where a job got to, for the front end's reporting.
struct WriteJobState {
    DataFlashInfo chip;    // as probed (Reach::Probe only)
    DataFlashImage image;  // the file, once read
    unsigned pagesDone = 0; // pages programmed (and checked) so far
    unsigned changed = 0;   // pages an update changed
    bool in264BytePages = false; // the file went into 264-byte pages (PendingPageSize::WriteAnyway)
    bool stopTaken = false; // the driver stopped on a stop request (not: failed while one was pending)
};

// How a job ended.
enum class WriteOutcome {
    Done,
    Failed,     // at the stage reported through failed()
    Stopped,    // a stop was asked for; stage says where it took effect
    PowerCycle, // 256-byte pages set but waiting for a power cycle; nothing erased
};

// The front end's side of a job.
class WriteJobReport {
public:
    virtual ~WriteJobReport() = default;
    // A stage begins (its status text).
    virtual void starting(WriteStage, const WriteJobState&) {}
    // A stage ended well (its progress mark, its pause).
    virtual void finished(WriteStage, const WriteJobState&) {}
    // A stage failed: the driver's text and, where there is one, advice.
    virtual void failed(WriteStage, const QStringList& problem, const WriteJobState&) = 0;
    // The hooks of the long stages (progress, stop requests).
    virtual DataFlashRun run(WriteStage) { return {}; }
    // Asked at the boundaries between stages.
    virtual bool stopRequested() { return false; }
};

// Runs the job's stages in order until one fails or a stop is asked for.
// stage receives the stage it ended in.
WriteOutcome runWriteJob(const WriteJob& job, WriteJobReport& report, WriteJobState& state, WriteStage& stage);

} // namespace frontend
