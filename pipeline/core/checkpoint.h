// Checkpoint files: a training state with what it was written for, in a
// binary format of our own (nothing in a file is ever executed), written
// atomically.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/engine.h"

namespace hst {

struct Checkpoint {
  // "field\tdigest" lines of the data and options the state was trained on.
  std::string fingerprint;
  // The rows of the split (int64), in the order the stages read them.
  std::vector<at::Tensor> split;
  TrainingState training;
};

// A file that is not a complete checkpoint of this format and version.
struct CheckpointFormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string encode_checkpoint(const std::string& fingerprint, const std::vector<at::Tensor>& split,
                              const TrainingState& state);
// Throws CheckpointFormatError for anything but the exact bytes
// encode_checkpoint writes (a wrong magic or version, a checksum that does
// not match, a length past the end, an unknown element type).
Checkpoint decode_checkpoint(const std::string& bytes);

// Replaces `path` by `bytes` so that a kill at any instant leaves either the
// old file or the new one: the bytes go to `path`.tmp in the same folder,
// are flushed and synced to disk, then renamed over `path`, and the folder
// is synced. Throws std::runtime_error naming the path when a step fails.
void write_file_atomically(const std::string& path, const std::string& bytes);
// The whole file; false when it does not exist. Throws std::runtime_error
// naming the path when it exists but cannot be read.
bool read_whole_file(const std::string& path, std::string& bytes);

// Writes the checkpoints of one run to `path` in a thread of its own, so that
// syncing the file to disk does not hold up training: submit() hands over a
// state and returns once the previous write has finished (one write at a
// time, each atomic as write_file_atomically); finish() waits for the last.
// A failed write is reported, as std::runtime_error, by the next submit() or
// finish(). The destructor waits for a write in flight and keeps quiet.
class CheckpointWriter {
 public:
  CheckpointWriter(std::string path, std::string fingerprint, std::vector<at::Tensor> split);
  ~CheckpointWriter();
  CheckpointWriter(const CheckpointWriter&) = delete;
  CheckpointWriter& operator=(const CheckpointWriter&) = delete;
  void submit(TrainingState state);
  void finish();

 private:
  void wait();
  std::string path_, fingerprint_;
  std::vector<at::Tensor> split_;
  std::thread thread_;
  std::exception_ptr error_;
};

}  // namespace hst
