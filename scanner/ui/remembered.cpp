#include "remembered.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace scanner {
namespace {

// lumivane/scanner.conf in the user's configuration folder (on this system the native format is
// the INI text; IniFormat would name the file scanner.ini).
constexpr const char* kFolder = "lumivane";
constexpr const char* kFile = "scanner.conf";

// The file in the user's configuration folder, found again at every use: Qt's own choice of
// folder is made once per process, and would miss a folder set later (as tests do).
QString SettingsPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + '/' + kFolder +
         '/' + kFile;
}
// The file's layout: a version, the last device, and the devices most recently used first.
constexpr const char* kVersionKey = "version";
constexpr const char* kVersion = "1";
constexpr const char* kLastGroup = "last";
constexpr const char* kDevicesArray = "devices";
constexpr const char* kValuesGroup = "values";
// Network scanners leave a new entry at each new name; the oldest are forgotten.
constexpr std::size_t kMaxDevices = 20;
// The file holds a few kilobytes; it is read only up to this size. Reading is on the window's
// thread, and the format's reader takes about 2 ms for 64 KiB but half a second for 1 MiB.
constexpr off_t kMaxFileBytes = 64 << 10;

// A descriptor, closed when it goes.
struct Descriptor {
  int fd;
  explicit Descriptor(int f) : fd(f) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// What is at the file's place: nothing, a file to read (fd open on it), a folder, or anything
// else (a named pipe, a device, a file too large or that cannot be read). It is opened without
// waiting: a named pipe or a device there cannot hold the caller.
enum class FileKind { kMissing, kReadable, kDirectory, kOther };
FileKind Examine(const QString& path, Descriptor& file) {
  const QByteArray name = QFile::encodeName(path);
  file.fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (file.fd < 0) {
    if (errno == ENOENT) return FileKind::kMissing;
    return ::stat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode) ? FileKind::kDirectory
                                                                     : FileKind::kOther;
  }
  if (::fstat(file.fd, &st) != 0) return FileKind::kOther;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes ? FileKind::kReadable
                                                            : FileKind::kOther;
}

struct Entry {
  DeviceInfo device;
  RememberedValues values;
};

struct Store {
  std::optional<DeviceInfo> last;
  std::vector<Entry> devices;
};

bool ValidKey(const std::string& key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

// A text the file holds at key, or nothing for a missing key or anything but one text (the
// format reads "a, b" as a list).
std::optional<std::string> TextAt(const QSettings& settings, const QString& key) {
  const QVariant value = settings.value(key);
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

std::optional<DeviceInfo> DeviceAt(const QSettings& settings) {
  const auto name = TextAt(settings, "name");
  const auto vendor = TextAt(settings, "vendor");
  const auto model = TextAt(settings, "model");
  if (!name || name->empty() || !vendor || !model) return std::nullopt;
  return DeviceInfo{*name, *vendor, *model};
}

Store Load() {
  Store store;
  Descriptor file(-1);
  if (Examine(SettingsPath(), file) != FileKind::kReadable) return store;
  // The format's reader opens the file by a name: the link of the open descriptor, which can
  // only be the regular file examined (the file's own name might be something else by now).
  QString name = QStringLiteral("/proc/self/fd/%1").arg(file.fd);
  if (::access(QFile::encodeName(name).constData(), R_OK) != 0) name = SettingsPath();
  QSettings settings(name, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError || TextAt(settings, kVersionKey) != kVersion)
    return store;
  settings.beginGroup(kLastGroup);
  store.last = DeviceAt(settings);
  settings.endGroup();
  // The writer writes no more entries than kMaxDevices: a larger size is not ours to follow
  // (a huge one took hours of lookups).
  const int count = std::min(settings.beginReadArray(kDevicesArray), static_cast<int>(kMaxDevices));
  for (int i = 0; i < count; ++i) {
    settings.setArrayIndex(i);
    const auto device = DeviceAt(settings);
    if (!device) continue;
    Entry entry{*device, {}};
    settings.beginGroup(kValuesGroup);
    for (const QString& key : settings.childKeys()) {
      const auto value = TextAt(settings, key);
      if (value && ValidKey(key.toStdString())) entry.values[key.toStdString()] = *value;
    }
    settings.endGroup();
    store.devices.push_back(std::move(entry));
  }
  settings.endArray();
  return store;
}

void WriteDevice(QSettings& settings, const DeviceInfo& device) {
  settings.setValue("name", QString::fromStdString(device.name));
  settings.setValue("vendor", QString::fromStdString(device.vendor));
  settings.setValue("model", QString::fromStdString(device.model));
}

// The whole file anew, so that nothing of an earlier or foreign content stays in it. A file
// that cannot be written leaves the settings unremembered, which is no error to the user.
void Save(const Store& store) {
  // What cannot be read is replaced (the format's writer would keep it, failing to read it); a
  // folder cannot be, and then nothing is remembered.
  {
    Descriptor file(-1);
    const FileKind kind = Examine(SettingsPath(), file);
    if (kind == FileKind::kDirectory) return;
    if (kind == FileKind::kOther) (void)::unlink(QFile::encodeName(SettingsPath()).constData());
  }
  QSettings settings(SettingsPath(), QSettings::IniFormat);
  settings.clear();
  settings.setValue(kVersionKey, kVersion);
  if (store.last) {
    settings.beginGroup(kLastGroup);
    WriteDevice(settings, *store.last);
    settings.endGroup();
  }
  settings.beginWriteArray(kDevicesArray, static_cast<int>(store.devices.size()));
  for (std::size_t i = 0; i < store.devices.size(); ++i) {
    settings.setArrayIndex(static_cast<int>(i));
    WriteDevice(settings, store.devices[i].device);
    settings.beginGroup(kValuesGroup);
    for (const auto& [key, value] : store.devices[i].values)
      if (ValidKey(key))
        settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings.endGroup();
  }
  settings.endArray();
  settings.sync();
}

std::optional<std::size_t> Find(const std::vector<Entry>& entries, const DeviceInfo& device) {
  std::vector<DeviceInfo> devices;
  devices.reserve(entries.size());
  for (const Entry& entry : entries) devices.push_back(entry.device);
  return FindRemembered(devices, device);
}

}  // namespace

std::optional<DeviceInfo> LastDevice() {
  return Load().last;
}

void RememberLastDevice(const DeviceInfo& device) {
  if (device.name.empty()) return;
  Store store = Load();
  store.last = device;
  Save(store);
}

RememberedValues ValuesFor(const DeviceInfo& device) {
  const Store store = Load();
  const auto found = Find(store.devices, device);
  return found ? store.devices[*found].values : RememberedValues{};
}

void RememberValues(const DeviceInfo& device, const RememberedValues& values) {
  if (device.name.empty()) return;
  Store store = Load();
  // The entry of this name gives way to the new one, at the front.
  std::erase_if(store.devices,
                [&](const Entry& entry) { return entry.device.name == device.name; });
  store.devices.insert(store.devices.begin(), Entry{device, values});
  if (store.devices.size() > kMaxDevices) store.devices.resize(kMaxDevices);
  Save(store);
}

std::optional<std::size_t> FindRemembered(std::span<const DeviceInfo> present,
                                          const DeviceInfo& remembered) {
  const auto byName = std::find_if(present.begin(), present.end(), [&](const auto& device) {
    return device.name == remembered.name;
  });
  if (byName != present.end()) return static_cast<std::size_t>(byName - present.begin());
  // Vendor and model tell a device apart only when they say something.
  if (remembered.model.empty()) return std::nullopt;
  const auto bySameModel = std::find_if(present.begin(), present.end(), [&](const auto& device) {
    return device.vendor == remembered.vendor && device.model == remembered.model;
  });
  if (bySameModel != present.end()) return static_cast<std::size_t>(bySameModel - present.begin());
  return std::nullopt;
}

}  // namespace scanner
