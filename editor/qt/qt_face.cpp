#include "editor/qt/qt_face.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "editor/qt/dialogs.h"
#include "editor/qt/qt_controls.h"
#include "host/tarsel_sub.h"
#include "model/dravik_doc.h"
#include "model/string_table.h"

namespace dravik::qt {

namespace {
void ShowHostError(void*, int id, int, const char* message) {
  QWidget* parent = QApplication::activeModalWidget();
  if (parent == nullptr) parent = QApplication::activeWindow();
  ShowErrorBox(parent, id, message);
}

// Without a display a QApplication would abort the host process; refuse
// the call instead.
bool CanOpenWindows() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}
// Qt's own words (the Yes, No and OK of a message box) in Korean, as the
// editor's are, for one editor call. Without Debian's qt6-translations-l10n
// they stay English, said once on stderr.
class KoreanQtTexts {
 public:
  KoreanQtTexts() {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (translator_.load(QStringLiteral("qtbase_ko"), folder)) {
      installed_ = QCoreApplication::installTranslator(&translator_);
      return;
    }
    static bool told = false;
    if (!told) {
      told = true;
      std::fprintf(stderr,
                   "draviknet-editor: Qt's Korean translation (qtbase_ko.qm in %s) is not "
                   "installed; Qt's own buttons stay English (package qt6-translations-l10n)\n",
                   folder.toLocal8Bit().constData());
    }
  }
  ~KoreanQtTexts() {
    if (installed_) QCoreApplication::removeTranslator(&translator_);
  }
  KoreanQtTexts(const KoreanQtTexts&) = delete;
  KoreanQtTexts& operator=(const KoreanQtTexts&) = delete;

 private:
  QTranslator translator_;
  bool installed_ = false;
};
}  // namespace

void QtEditorFace::RunConfigDlg(CConfigDlg& dlg) {
  ConfigDialog window(dlg, QApplication::activeWindow());
  window.exec();
}

ScopedErrorBox::ScopedErrorBox() {
  previous_ = CTarselError::CurrentHandler(&previous_context_);
  CTarselError::InstallHandler(&ShowHostError, nullptr);
}

ScopedErrorBox::~ScopedErrorBox() { CTarselError::InstallHandler(previous_, previous_context_); }

int RunEditorCall(const char* path) {
  std::unique_ptr<QApplication> own_app;
  if (QCoreApplication::instance() == nullptr) {
    if (!CanOpenWindows()) {
      std::fprintf(stderr, "draviknet-editor: no display to open the editor on\n");
      return 0;
    }
    static int argc = 1;
    static char name[] = "draviknet-editor";
    static char* argv[] = {name, nullptr};
    own_app = std::make_unique<QApplication>(argc, argv);
  } else if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::fprintf(stderr, "draviknet-editor: the host's application object has no widgets\n");
    return 0;
  }
  RegisterEditorStrings();
  QtEditorFace face;
  IEditorFace* previous_face = GetEditorFace();
  SetEditorFace(&face);
  int saved = 0;
  {
    KoreanQtTexts korean;
    ScopedErrorBox error_box;
    auto doc = std::make_unique<CDravikNetDoc>();
    saved = doc->EditConfig(path);
  }
  SetEditorFace(previous_face);
  return saved;
}

}  // namespace dravik::qt
