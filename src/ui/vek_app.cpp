#include "ui/vek_app.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "device/session.h"
#include "events/exit_status.h"
#include "ui/message_box.h"
#include "ui/vek_dlg.h"

namespace vek {
namespace {

// The records are written on a thread of their own; what they were told last is
// written before the window goes, with the window's events still served (a
// warning of theirs may be waiting for it).
void WaitForRecords() {
  if (Session::RecordsKept()) return;
  QEventLoop loop;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&loop] {
    if (Session::RecordsKept()) loop.quit();
  });
  QTimer::singleShot(std::chrono::milliseconds(Session::RecordsDrainLimit()), &loop, &QEventLoop::quit);
  look.start(50);
  loop.exec();
}

std::string AbsolutePath(const QString& path) {
  if (path.isEmpty()) return {};
  return std::filesystem::absolute(path.toStdString()).lexically_normal().string();
}

}  // namespace

std::optional<int> ParseVekOptions(const QStringList& arguments, VekOptions& options) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("VEK: firmware update of a USB cellular modem module"));
  const QCommandLineOption port_map(QStringLiteral("port-map"),
                                    QStringLiteral("Read the serial ports from FILE (DEVICE_PATH<TAB>FRIENDLY NAME per line)."),
                                    QStringLiteral("FILE"));
  const QCommandLineOption images(QStringLiteral("images"), QStringLiteral("The image folder (default: the working directory)."),
                                  QStringLiteral("DIR"));
  parser.addOption(port_map);
  parser.addOption(images);
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
    const QString error = parser.errorText().isEmpty() ? QStringLiteral("unexpected argument") : parser.errorText();
    std::fprintf(stderr, "vek: %s\n%s", error.toLocal8Bit().constData(), parser.helpText().toLocal8Bit().constData());
    return vekevents::kDesktopUsage;
  }
  if (parser.isSet(help)) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    return vekevents::kDesktopDone;
  }
  if (parser.isSet(version)) {
    std::printf("vek %s\n", QCoreApplication::applicationVersion().toLocal8Bit().constData());
    return vekevents::kDesktopDone;
  }
  options.port_map = AbsolutePath(parser.value(port_map));
  options.images = AbsolutePath(parser.value(images));
  return std::nullopt;
}

CVEKApp::CVEKApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("VEK"));
  setApplicationVersion(QStringLiteral(VEK_VERSION));
}

int CVEKApp::InitInstance() {
  VekOptions options;
  if (auto status = ParseVekOptions(arguments(), options)) return *status;
  SendDebugOutputToStandardError(true);
  KeepFilesPrivate();

  // Held for the life of the process; the system drops it however the process ends.
  const InstanceLock instance;
  if (!instance.held()) {
    ShowMessageBox(kMessageOk, InstanceLock::AlreadyRunningText(), applicationName().toStdString());
    return vekevents::kDesktopDone;
  }
  ChoosePortSource(options.port_map);
  // Every job is kept in the station's database (VEK_STATION_DB, else the user's own).
  // Its records ship to the line's database that "[line] database=" of "config.ini" names.
  Session::KeepStationRecord(Session::StationDbPath({}, false), "vek", Session::LineDbUrl({}));

  CVEKDlg window(WindowOptions{options.images, true});
  window.exec();
  WaitForRecords();
  Session::CloseStationRecord();
  return vekevents::kDesktopDone;
}

}  // namespace vek
