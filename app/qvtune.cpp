// The program: one window, the message loop until it closes.
#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include "app/Main.h"

#if defined(__unix__)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#endif

namespace {

const char kHelp[] =
    "Usage: qvtune [OPTION]...\n"
    "The fine-tuning window for the Quorvantis handhelds and their server: measures a unit's\n"
    "crystal error against a golden reference over the radio link, stores the compensation\n"
    "value in the unit and reprograms its firmware on the way.\n"
    "\n"
    "Its files sit beside the program file (the real one, also when qvtune is started\n"
    "through a link or a wrapper on the PATH): the settings file NAME.INI and the error log\n"
    "NAME.ERR after the program's own name (qvtune.INI, qvtune.ERR), the port map\n"
    "qvtune.ports, the unit records qvtune.records (or the server named in the first line of\n"
    "qvtune.records.conf) and the test firmware files qvftune.qpf and srvftune.sff.\n"
    "\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Qt's own options are taken as well (for example -platform offscreen). SIGTERM, SIGINT\n"
    "and SIGHUP close the window as its close button does: the settings are written and a\n"
    "running procedure is stopped as on closing.\n";

// Only --help and --version are the program's own; any other argument is
// Qt's or ignored, as it always was.
bool AnswersWithoutWindow(int argc, char** argv, int& status) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kHelp, stdout);
      status = 0;
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qvtune %s\n", QV_VERSION);
      status = 0;
      return true;
    }
  }
  return false;
}

// A session that ends (logout, shutdown, a station script's kill) closes the
// window the way its close button does, so that the settings file is
// written and a worker still running is stopped as on closing. A file
// dialog that is open goes first: the window cannot close beneath it. A
// request during start-up waits for the first activation, which reads the
// settings: the window writes none before it.
void CloseOnRequest() {
  static bool closing = false;
  if (closing || qv::Main == nullptr) return;
  if (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    QTimer::singleShot(100, qApp, CloseOnRequest);
    return;
  }
  if (qv::Main->FirstActivation && qv::Main->isVisible()) {
    QTimer::singleShot(100, qApp, CloseOnRequest);
    return;
  }
  closing = true;
  qv::Main->close();
}

#if defined(__unix__)
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  (void)!::write(gSignalPipe[1], &c, 1);
}

void CloseOnSignals(QObject* owner) {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
    char buf[64];
    while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
    }
    QTimer::singleShot(0, qApp, CloseOnRequest);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}
#else
void CloseOnSignals(QObject*) {}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (int status = 0; AnswersWithoutWindow(argc, argv, status)) return status;
  QApplication app(argc, argv);
  CloseOnSignals(&app);
  qv::Main = new qv::TMain;
  qv::Main->show();
  const int status = app.exec();
  delete qv::Main;
  return status;
}
