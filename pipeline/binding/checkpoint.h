// The parts of a call's training state that live beyond the epoch loop: the
// call's own random streams, and the checkpoint file named by the option
// "checkpointPath" (read only when present; None is the same as absent).
#pragma once

#include <string>

#include "binding/run_context.h"
#include "core/engine.h"

namespace hst {

// Makes the call's own generators from options["seed"] for run.device and
// draws the freshly built network's initial weights from them (the network
// still on the CPU, where its constructor left it).
void start_random_streams(RunContext& run);

// With "checkpointPath" in run.options, after the split: reads the file
// (rank 0 of a data-parallel run reads it and hands it to the others). A
// checkpoint written for the same `call`, X, Y, completed options and number
// of ranks puts back the rows of its split and is resumed from (the console
// says from where); no file starts afresh. A file of other data or options,
// or one that is not a whole checkpoint, raises ValueError naming the file
// (and the first field that differs) and is left as it is.
void open_checkpoint(RunContext& run, py::handle X, py::handle Y, const std::string& call);

// The state to go on from, when the call resumes.
void attach_checkpoint(const RunContext& run, EngineConfig& cfg);

// `hooks` plus the writer of the checkpoint (before the first epoch and
// after every epoch, atomically, in a thread of its own; only rank 0
// writes), when the call has one. However training ends, the write in
// flight completes before the call returns or raises.
EngineHooks checkpoint_hooks(const RunContext& run, const EngineHooks& hooks);

// After training: waits for the last write and raises if it failed.
void finish_checkpoint(RunContext& run);

}  // namespace hst
