#include "core/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "core/checksum.h"

namespace hst {

namespace {

// File layout: magic, version, payload length, payload checksum, payload.
constexpr char kMagic[8] = {'H', 'S', 'T', 'C', 'K', 'P', 'T', '\n'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderBytes = sizeof(kMagic) + 4 + 8 + 8;

// Element types a checkpoint holds, by a code of the file's own.
struct Dtype {
  uint8_t code;
  at::ScalarType type;
};
constexpr Dtype kDtypes[] = {{1, at::kFloat}, {2, at::kDouble}, {3, at::kLong}, {4, at::kByte},
                             {5, at::kInt},   {6, at::kHalf},   {7, at::kBFloat16}};

class Writer {
 public:
  void raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  void u8(uint8_t v) { raw(&v, 1); }
  void u32(uint32_t v) { raw(&v, 4); }
  void i64(int64_t v) { raw(&v, 8); }
  void u64(uint64_t v) { raw(&v, 8); }
  void f64(double v) { raw(&v, 8); }
  void text(const std::string& s) {
    u64(s.size());
    raw(s.data(), s.size());
  }
  void tensor(const at::Tensor& t) {
    if (!t.defined()) {
      u8(0);
      return;
    }
    const at::Tensor c = t.detach().to(at::kCPU).contiguous();
    uint8_t code = 0;
    for (const Dtype& d : kDtypes)
      if (d.type == c.scalar_type()) code = d.code;
    if (code == 0) throw std::invalid_argument("checkpoint: unsupported tensor type");
    u8(code);
    u32(static_cast<uint32_t>(c.dim()));
    for (int64_t s : c.sizes()) i64(s);
    raw(c.data_ptr(), c.numel() * c.element_size());
  }
  void tensors(const std::vector<at::Tensor>& list) {
    u64(list.size());
    for (const auto& t : list) tensor(t);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(const char* p, size_t n) : p_(p), end_(p + n) {}
  void raw(void* dst, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) throw CheckpointFormatError("ends early");
    std::memcpy(dst, p_, n);
    p_ += n;
  }
  uint8_t u8() { uint8_t v; raw(&v, 1); return v; }
  uint32_t u32() { uint32_t v; raw(&v, 4); return v; }
  int64_t i64() { int64_t v; raw(&v, 8); return v; }
  uint64_t u64() { uint64_t v; raw(&v, 8); return v; }
  double f64() { double v; raw(&v, 8); return v; }
  // A count of things each at least `min_bytes` long, checked against what is left.
  uint64_t count(size_t min_bytes) {
    const uint64_t n = u64();
    if (n > static_cast<uint64_t>(end_ - p_) / std::max<size_t>(min_bytes, 1)) throw CheckpointFormatError("bad count");
    return n;
  }
  std::string text() {
    const uint64_t n = count(1);
    std::string s(p_, p_ + n);
    p_ += n;
    return s;
  }
  at::Tensor tensor() {
    const uint8_t code = u8();
    if (code == 0) return at::Tensor();
    const Dtype* dtype = nullptr;
    for (const Dtype& d : kDtypes)
      if (d.code == code) dtype = &d;
    if (!dtype) throw CheckpointFormatError("unknown element type");
    const uint32_t dim = u32();
    if (dim > 16) throw CheckpointFormatError("bad rank");
    std::vector<int64_t> sizes(dim);
    uint64_t numel = 1;
    const uint64_t left = static_cast<uint64_t>(end_ - p_);
    for (auto& s : sizes) {
      s = i64();
      if (s < 0 || (s > 0 && numel > left / static_cast<uint64_t>(s))) throw CheckpointFormatError("bad size");
      numel *= static_cast<uint64_t>(s);
    }
    at::Tensor t = at::empty(sizes, at::TensorOptions().dtype(dtype->type));
    const uint64_t bytes = numel * t.element_size();
    if (numel > left || bytes > static_cast<uint64_t>(end_ - p_)) throw CheckpointFormatError("ends early");
    raw(t.data_ptr(), bytes);
    return t;
  }
  std::vector<at::Tensor> tensors() {
    std::vector<at::Tensor> out(count(1));
    for (auto& t : out) t = tensor();
    return out;
  }
  bool at_end() const { return p_ == end_; }

 private:
  const char* p_;
  const char* end_;
};

void write_optimizer(Writer& w, const OptimizerState& s) {
  w.i64(s.steps);
  w.tensors(s.first);
  w.tensors(s.second);
}

OptimizerState read_optimizer(Reader& r) {
  OptimizerState s;
  s.steps = r.i64();
  s.first = r.tensors();
  s.second = r.tensors();
  return s;
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void write_all(int fd, const std::string& bytes, const std::string& path) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", path);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

std::string encode_checkpoint(const std::string& fingerprint, const std::vector<at::Tensor>& split,
                              const TrainingState& t) {
  Writer w;
  w.text(fingerprint);
  w.tensors(split);
  w.i64(t.epochs_done);
  w.u8(t.finished ? 1 : 0);
  w.f64(t.learn_rate);
  w.i64(t.patience_count);
  w.i64(t.best_epoch);
  w.f64(t.best_val_loss);
  w.u64(t.history.size());
  for (const EpochStats& s : t.history) {
    w.f64(s.train_loss);
    w.f64(s.val_loss);
    w.f64(s.train_accuracy);
    w.f64(s.val_accuracy);
  }
  w.tensors(t.state);
  w.tensors(t.best_state);
  write_optimizer(w, t.optimizer);
  w.u64(t.random.size());
  for (const RandomState& r : t.random) {
    w.tensor(r.cpu);
    w.tensor(r.cuda);
  }
  const std::string payload = w.take();
  Writer file;
  file.raw(kMagic, sizeof kMagic);
  file.u32(kVersion);
  file.u64(payload.size());
  file.u64(checksum_bytes(payload.data(), payload.size()));
  file.raw(payload.data(), payload.size());
  return file.take();
}

Checkpoint decode_checkpoint(const std::string& bytes) {
  if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    throw CheckpointFormatError("not a checkpoint of this program");
  Reader header(bytes.data() + sizeof kMagic, kHeaderBytes - sizeof kMagic);
  const uint32_t version = header.u32();
  if (version != kVersion) throw CheckpointFormatError("unknown format version " + std::to_string(version));
  const uint64_t length = header.u64(), sum = header.u64();
  if (length != bytes.size() - kHeaderBytes) throw CheckpointFormatError("truncated or extended");
  const char* payload = bytes.data() + kHeaderBytes;
  if (checksum_bytes(payload, length) != sum) throw CheckpointFormatError("checksum does not match");

  Reader r(payload, length);
  Checkpoint c;
  TrainingState& t = c.training;
  c.fingerprint = r.text();
  c.split = r.tensors();
  t.epochs_done = r.i64();
  t.finished = r.u8() != 0;
  t.learn_rate = r.f64();
  t.patience_count = r.i64();
  t.best_epoch = r.i64();
  t.best_val_loss = r.f64();
  t.history.resize(r.count(32));
  for (EpochStats& s : t.history) {
    s.train_loss = r.f64();
    s.val_loss = r.f64();
    s.train_accuracy = r.f64();
    s.val_accuracy = r.f64();
  }
  t.state = r.tensors();
  t.best_state = r.tensors();
  t.optimizer = read_optimizer(r);
  t.random.resize(r.count(2));
  for (RandomState& s : t.random) {
    s.cpu = r.tensor();
    s.cuda = r.tensor();
  }
  if (!r.at_end()) throw CheckpointFormatError("trailing bytes");
  if (t.epochs_done < 0 || static_cast<uint64_t>(t.epochs_done) != t.history.size())
    throw CheckpointFormatError("inconsistent epoch count");
  return c;
}

void write_file_atomically(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create", temp);
  try {
    write_all(fd, bytes, temp);
    if (::fsync(fd) != 0) fail("cannot sync", temp);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::close(fd) != 0) fail("cannot close", temp);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    fail("cannot rename onto", path);
  }
  // The rename itself reaches the disk with the folder's entry.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

bool read_whole_file(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    fail("cannot open", path);
  }
  bytes.clear();
  char buf[1 << 16];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      errno = saved;
      fail("cannot read", path);
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

CheckpointWriter::CheckpointWriter(std::string path, std::string fingerprint, std::vector<at::Tensor> split)
    : path_(std::move(path)), fingerprint_(std::move(fingerprint)), split_(std::move(split)) {}

CheckpointWriter::~CheckpointWriter() {
  if (thread_.joinable()) thread_.join();
}

void CheckpointWriter::wait() {
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void CheckpointWriter::submit(TrainingState state) {
  wait();
  thread_ = std::thread([this, state = std::move(state)] {
    try {
      write_file_atomically(path_, encode_checkpoint(fingerprint_, split_, state));
    } catch (...) {
      error_ = std::current_exception();
    }
  });
}

void CheckpointWriter::finish() { wait(); }

}  // namespace hst
