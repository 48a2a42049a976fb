// lumivane-sane-helper: the one process that calls SANE. The manager starts it with its end of a
// socket as descriptor 3 and sends it requests one at a time; a backend that hangs or crashes
// takes only this process with it, and the manager kills it and starts another. One thread, no
// windows: it answers each request, and while a scan runs it sends the data as it arrives and
// watches the socket for a cancel.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#ifdef LUMIVANE_COVERAGE
extern "C" void __gcov_dump(void);
#endif

#include "platform/fpu_control.h"
#include "sane_api.h"
#include "scanner/wire/socket.h"
#include "scanner/wire/wire.h"

namespace scanner {
namespace {

using wire::Kind;
using wire::Packer;
using wire::Unpacker;

constexpr int kSocket = 3;
constexpr SANE_Int kReadChunk = 64 * 1024;

// The next request, however long the manager takes to send it (it ends this process when it
// gives it up); nothing when the manager has gone (or sent nonsense).
std::optional<Unpacker> ReadRequest() {
  return wire::ReadMessage(kSocket, wire::kNoDeadline);
}

bool Send(Packer& packer) {
  return wire::WriteMessage(kSocket, packer, wire::kNoDeadline);
}

// Ends the process at once, without static destructors or atexit handlers (a coverage build
// writes its line counts first, which only a normal exit would do).
[[noreturn]] void EndNow() {
#ifdef LUMIVANE_COVERAGE
  __gcov_dump();
#endif
  ::_exit(0);
}

// The manager has gone: nothing is left to do, and SANE's own end is not waited for.
[[noreturn]] void Orphaned() {
  EndNow();
}

void Reply(Packer& packer) {
  if (!Send(packer)) Orphaned();
}

class Helper {
 public:
  explicit Helper(std::unique_ptr<SaneApi> api) : api_(std::move(api)) {}

  [[noreturn]] void Run() {
    for (;;) {
      std::optional<Unpacker> request = ReadRequest();
      if (!request) Orphaned();
      switch (request->kind()) {
        case Kind::kFind:
          Find(request->Int() != 0);
          break;
        case Kind::kOpen:
          Open(request->Text());
          break;
        case Kind::kClose:
          Close(request->Int());
          break;
        case Kind::kSet:
          Set(*request);
          break;
        case Kind::kGetParameters:
          GetParameters(request->Int());
          break;
        case Kind::kStart:
          Scan(request->Int());
          break;
        case Kind::kExit: {
          if (started_) api_->Exit();
          Packer done(Kind::kDone);
          Reply(done);
          // What backends keep until the end of the process is not this program's to free.
          EndNow();
        }
        default:
          // A cancel that came after its scan ended, or anything else: nothing to answer.
          break;
      }
    }
  }

 private:
  bool Started() {
    if (!started_ && api_) started_ = api_->Init() == SANE_STATUS_GOOD;
    return started_;
  }

  SANE_Handle HandleOf(std::int64_t id) const {
    const auto it = handles_.find(id);
    return it == handles_.end() ? nullptr : it->second;
  }

  void Find(bool restart) {
    Packer reply(Kind::kFound);
    if (!api_) {
      reply.Int(1).Int(SANE_STATUS_GOOD).Int(0);
      return Reply(reply);
    }
    // Reading SANE's configuration again means ending it, which only an idle SANE allows.
    if (restart && started_ && handles_.empty()) {
      api_->Exit();
      started_ = false;
    }
    if (!Started()) {
      reply.Int(0).Int(SANE_STATUS_IO_ERROR).Int(0);
      return Reply(reply);
    }
    const SANE_Device** list = nullptr;
    const SANE_Status status = api_->GetDevices(&list);
    std::vector<const SANE_Device*> devices;
    for (; status == SANE_STATUS_GOOD && list && *list; ++list) devices.push_back(*list);
    reply.Int(0).Int(status).Int(static_cast<std::int64_t>(devices.size()));
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    for (const SANE_Device* d : devices)
      reply.Text(text(d->name)).Text(text(d->vendor)).Text(text(d->model)).Text(text(d->type));
    Reply(reply);
  }

  // The options as the manager takes them. The descriptor's enumerations are read as numbers:
  // an option of a type, unit or constraint that SANE does not define keeps its place (options
  // are set by index) as a group, which nothing sets.
  std::vector<wire::Option> Options(SANE_Handle handle) {
    std::vector<wire::Option> options;
    for (SANE_Int i = 0;; ++i) {
      const SANE_Option_Descriptor* d = api_->Descriptor(handle, i);
      if (!d) break;
      wire::Option& o = options.emplace_back();
      o.name = d->name ? d->name : "";
      const std::optional<SANE_Value_Type> type =
          wire::EnumOf(wire::NumberIn(d->type), SANE_TYPE_GROUP);
      o.type = type.value_or(SANE_TYPE_GROUP);
      o.unit =
          wire::EnumOf(wire::NumberIn(d->unit), SANE_UNIT_MICROSECOND).value_or(SANE_UNIT_NONE);
      o.size = d->size;
      o.cap = d->cap;
      o.constraint = wire::EnumOf(wire::NumberIn(d->constraint_type), SANE_CONSTRAINT_STRING_LIST)
                         .value_or(SANE_CONSTRAINT_NONE);
      if (!type) o.constraint = SANE_CONSTRAINT_NONE;
      if (o.constraint == SANE_CONSTRAINT_RANGE && d->constraint.range) {
        o.min = d->constraint.range->min;
        o.max = d->constraint.range->max;
        o.quant = d->constraint.range->quant;
      } else if (o.constraint == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
        for (SANE_Int k = 1; k <= d->constraint.word_list[0]; ++k)
          o.words.push_back(d->constraint.word_list[k]);
      } else if (o.constraint == SANE_CONSTRAINT_STRING_LIST && d->constraint.string_list) {
        for (const SANE_String_Const* s = d->constraint.string_list; *s; ++s)
          o.strings.emplace_back(*s);
      }
      if (i == 0 || !SANE_OPTION_IS_ACTIVE(d->cap)) continue;
      if ((o.type == SANE_TYPE_INT || o.type == SANE_TYPE_FIXED || o.type == SANE_TYPE_BOOL) &&
          d->size == sizeof(SANE_Word)) {
        SANE_Word word = 0;
        if (api_->Control(handle, i, SANE_ACTION_GET_VALUE, &word, nullptr) == SANE_STATUS_GOOD)
          o.word = word;
      } else if (o.type == SANE_TYPE_STRING && d->size > 0) {
        std::vector<char> value(static_cast<std::size_t>(d->size) + 1, '\0');
        if (api_->Control(handle, i, SANE_ACTION_GET_VALUE, value.data(), nullptr) ==
            SANE_STATUS_GOOD)
          o.text = std::string(value.data());
      }
    }
    return options;
  }

  void Open(const std::string& name) {
    Packer reply(Kind::kOpened);
    SANE_Handle handle = nullptr;
    const SANE_Status status =
        !Started() ? SANE_STATUS_IO_ERROR : api_->Open(name.c_str(), &handle);
    if (status != SANE_STATUS_GOOD || !handle) {
      reply.Int(status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status).Int(0);
      wire::PackOptions(reply, {});
      return Reply(reply);
    }
    const std::int64_t id = nextId_++;
    handles_[id] = handle;
    reply.Int(SANE_STATUS_GOOD).Int(id);
    wire::PackOptions(reply, Options(handle));
    Reply(reply);
  }

  void Close(std::int64_t id) {
    if (SANE_Handle handle = HandleOf(id)) {
      api_->Close(handle);
      handles_.erase(id);
    }
    Packer done(Kind::kDone);
    Reply(done);
  }

  void Set(Unpacker& request) {
    SANE_Handle handle = HandleOf(request.Int());
    const SANE_Int index = request.Word();
    const bool isText = request.Int() != 0;
    const SANE_Word word = request.Word();
    const std::string text = request.Text();
    Packer reply(Kind::kOptions);
    SANE_Status status = SANE_STATUS_INVAL;
    SANE_Int info = 0;
    const SANE_Option_Descriptor* d = handle ? api_->Descriptor(handle, index) : nullptr;
    if (d && !request.failed()) {
      if (isText && wire::NumberIn(d->type) == SANE_TYPE_STRING) {
        std::vector<char> buffer(
            std::max<std::size_t>(static_cast<std::size_t>(d->size), text.size() + 1), '\0');
        std::memcpy(buffer.data(), text.data(), text.size());
        status = api_->Control(handle, index, SANE_ACTION_SET_VALUE, buffer.data(), &info);
      } else if (!isText && d->size == sizeof(SANE_Word)) {
        SANE_Word value = word;
        status = api_->Control(handle, index, SANE_ACTION_SET_VALUE, &value, &info);
      }
    }
    reply.Int(status).Int(info);
    wire::PackOptions(reply, handle ? Options(handle) : std::vector<wire::Option>());
    Reply(reply);
  }

  void GetParameters(std::int64_t id) {
    SANE_Parameters p{};
    SANE_Handle handle = HandleOf(id);
    const SANE_Status status = handle ? api_->Parameters(handle, &p) : SANE_STATUS_INVAL;
    Packer reply(Kind::kParameters);
    reply.Int(status);
    wire::PackParameters(reply, p);
    Reply(reply);
  }

  // Whether the manager asked to stop: a cancel waiting on the socket (timeout_ms < 0: wait for
  // it or for the device's descriptor to have data).
  enum class Wake { kNothing, kCancel, kDevice };
  Wake Watch(int deviceFd, int timeoutMs) {
    pollfd fds[2] = {{kSocket, POLLIN, 0}, {deviceFd, POLLIN, 0}};
    const int n = ::poll(fds, deviceFd >= 0 ? 2 : 1, timeoutMs);
    if (n <= 0) return Wake::kNothing;
    if (fds[0].revents != 0) {
      std::optional<Unpacker> request = ReadRequest();
      if (!request) Orphaned();
      if (request->kind() == Kind::kCancel) return Wake::kCancel;
      // Nothing else is sent while a scan runs.
    }
    return Wake::kDevice;
  }

  void EndScan(SANE_Handle handle, SANE_Status status) {
    api_->SetIoMode(handle, false);
    // SANE asks for a cancel at the end of every scan; a backend may hang in it, and then this
    // process is killed with the answer still unsent, which the manager expects.
    api_->Cancel(handle);
    Packer end(Kind::kScanEnd);
    end.Int(status);
    Reply(end);
  }

  void Scan(std::int64_t id) {
    SANE_Handle handle = HandleOf(id);
    if (!handle) {
      Packer end(Kind::kScanEnd);
      end.Int(SANE_STATUS_INVAL);
      return Reply(end);
    }
    std::vector<SANE_Byte> chunk(kReadChunk);
    for (;;) {
      SANE_Status status = api_->Start(handle);
      SANE_Parameters p{};
      if (status == SANE_STATUS_GOOD) status = api_->Parameters(handle, &p);
      if (status != SANE_STATUS_GOOD) return EndScan(handle, status);
      Packer frame(Kind::kFrame);
      wire::PackParameters(frame, p);
      Reply(frame);
      // Non-blocking reads where the backend has them, so that a cancel is seen while the device
      // is silent; otherwise the socket is looked at between reads.
      SANE_Int deviceFd = -1;
      if (api_->SetIoMode(handle, true) != SANE_STATUS_GOOD ||
          api_->SelectFd(handle, &deviceFd) != SANE_STATUS_GOOD) {
        api_->SetIoMode(handle, false);
        deviceFd = -1;
      }
      for (;;) {
        if (Watch(deviceFd, deviceFd >= 0 ? -1 : 0) == Wake::kCancel)
          return EndScan(handle, SANE_STATUS_CANCELLED);
        SANE_Int length = 0;
        status = api_->Read(handle, chunk.data(), kReadChunk, &length);
        if (status == SANE_STATUS_EOF) break;
        if (status != SANE_STATUS_GOOD) {
          // Said at once: ending the scan is where a backend may hang.
          Packer failed(Kind::kReadFailed);
          failed.Int(status);
          Reply(failed);
          return EndScan(handle, status);
        }
        if (length > 0) {
          Packer data(Kind::kData);
          data.Bytes(chunk.data(), static_cast<std::size_t>(length));
          Reply(data);
        }
      }
      api_->SetIoMode(handle, false);
      Packer end(Kind::kFrameEnd);
      Reply(end);
      if (p.last_frame) return EndScan(handle, SANE_STATUS_GOOD);
    }
  }

  std::unique_ptr<SaneApi> api_;
  bool started_ = false;
  std::map<std::int64_t, SANE_Handle> handles_;
  std::int64_t nextId_ = 1;
};

}  // namespace
}  // namespace scanner

int main() {
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Backends are not written for unmasked floating-point exceptions.
  SetFpuControl(WithAllExceptionsMasked(CurrentFpuControl()));
  scanner::Helper helper(scanner::SaneApi::Load());
  helper.Run();
}
