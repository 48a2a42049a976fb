#include "files.h"

#include <QFile>
#include <QSaveFile>

#include "errors.h"

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) throw EFOpenError(FormatMessage(msg::kFileOpen, path));
  std::vector<std::uint8_t> data;
  const qint64 size = file.size();
  if (size > 0) {
    data.resize(static_cast<std::size_t>(size));
    qint64 done = 0;
    while (done < size) {
      const qint64 n = file.read(reinterpret_cast<char*>(data.data()) + done, size - done);
      if (n <= 0) throw EReadError(msg::kStreamRead);
      done += n;
    }
  } else {
    // Devices and pipes report no size: read until the end.
    const QByteArray all = file.readAll();
    data.assign(all.begin(), all.end());
  }
  return data;
}

void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> data) {
  QSaveFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly)) throw EFCreateError(FormatMessage(msg::kFileCreate, path));
  std::size_t done = 0;
  while (done < data.size()) {
    const qint64 n = file.write(reinterpret_cast<const char*>(data.data()) + done,
                                static_cast<qint64>(data.size() - done));
    if (n <= 0) {
      file.cancelWriting();
      throw EWriteError(msg::kStreamWrite);
    }
    done += static_cast<std::size_t>(n);
  }
  if (!file.commit()) throw EWriteError(msg::kStreamWrite);
}
