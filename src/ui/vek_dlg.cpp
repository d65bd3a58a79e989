#include "ui/vek_dlg.h"

#include <QFileDialog>
#include <QFontMetrics>
#include <QMetaObject>
#include <QThread>

#include "ui/message_box.h"

namespace vek {
namespace {

// The window is laid out in dialog units: a quarter of the font's average
// character width across and an eighth of its height down, so it scales with
// the platform's font.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    base_x_ = (alphabet / 26 + 1) / 2;
    base_y_ = metrics.height();
  }
  int X(int units) const { return units * base_x_ / 4; }
  int Y(int units) const { return units * base_y_ / 8; }
  // A control's box; never shorter than the control needs for its font.
  QRect Box(int x, int y, int width, int height, const QWidget* control) const {
    const int needed = control->sizeHint().height();
    return {X(x), Y(y), X(width), std::max(Y(height), needed)};
  }

 private:
  int base_x_ = 6;
  int base_y_ = 13;
};

constexpr int kDialogWidth = 294;
constexpr int kDialogHeight = 150;

QLabel* StaticText(const char* text, const char* name, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

}  // namespace

CVEKDlg::CVEKDlg(const WindowOptions& options, QWidget* parent) : QDialog(parent), image_folder_(options.image_folder) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setObjectName(QStringLiteral("vekWindow"));
  CreateControls();
  PlaceControls();
  ConnectActions();

  // The Session's tasks reach this window's thread through queued calls; a call
  // made on this thread runs at once (a blocking call to ourselves would never return).
  session_ = std::make_unique<Session>(
      *this, [this](std::function<void()> work) { QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection); },
      [this] { return QThread::currentThread() == thread(); });
  session_->Initialise(options.image_folder);

  restore_default_check_->setChecked(false);
  restore_default_check_->setEnabled(true);
  progress_bar_->SetRange(0, 100);
  progress_bar_->SetPos(0);
  if (options.search_devices) session_->StartDeviceSearch();
}

CVEKDlg::~CVEKDlg() {
  // The tasks end (and stop reaching this window) before the controls go.
  session_.reset();
}

void CVEKDlg::CreateControls() {
  heading_ = StaticText(kHeadingText, "heading", this);
  heading_->setAlignment(Qt::AlignCenter);

  comport_label_ = StaticText("Comport:", "comportLabel", this);
  comport_list_ = new QComboBox(this);
  comport_list_->setObjectName(QStringLiteral("comportList"));
  comport_list_->setEditable(false);
  comport_list_->setAccessibleName(comport_label_->text());
  comport_label_->setBuddy(comport_list_);
  sw_version_label_ = new ElidedLabel(QStringLiteral("SW version:"), this);
  sw_version_label_->setObjectName(QStringLiteral("swVersionLabel"));

  product_label_ = StaticText("Product:", "productLabel", this);
  product_list_ = new ProductComboBox(this);
  product_list_->setObjectName(QStringLiteral("productList"));
  product_list_->setEditable(false);
  product_list_->setAccessibleName(product_label_->text());
  product_label_->setBuddy(product_list_);
  flash_caption_ = StaticText("FLASH:", "flashCaption", this);
  flash_label_ = StaticText(" ", "flashLabel", this);
  flash_label_->setAccessibleName(QStringLiteral("FLASH:"));
  imei_label_ = StaticText("IMEI:", "imeiLabel", this);

  image_path_label_ = StaticText("ImagePath:", "imagePathLabel", this);
  image_path_edit_ = new QLineEdit(this);
  image_path_edit_->setObjectName(QStringLiteral("imagePathEdit"));
  image_path_edit_->setAccessibleName(image_path_label_->text());
  image_path_label_->setBuddy(image_path_edit_);
  browse_button_ = new QPushButton(QStringLiteral("Browse..."), this);
  browse_button_->setObjectName(QStringLiteral("browseButton"));
  browse_button_->setAccessibleName(browse_button_->text());

  progress_label_ = StaticText("Progress:", "progressLabel", this);
  progress_bar_ = new CTextProgressCtrl(this);
  progress_bar_->setObjectName(QStringLiteral("progressBar"));
  progress_bar_->setAccessibleName(progress_label_->text());

  restore_default_check_ = new QCheckBox(QStringLiteral("Restore default"), this);
  restore_default_check_->setObjectName(QStringLiteral("restoreDefaultCheck"));
  restore_default_check_->setAccessibleName(restore_default_check_->text());
  start_button_ = new QPushButton(QStringLiteral("start"), this);
  start_button_->setObjectName(QStringLiteral("startButton"));
  start_button_->setAccessibleName(start_button_->text());
  start_button_->setEnabled(false);  // until the device search has found a module

  status_line_ = StaticText("Ready", "statusLine", this);
  status_line_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_line_->setWordWrap(false);
}

void CVEKDlg::PlaceControls() {
  const DialogUnits du(font());
  heading_->setGeometry(du.Box(0, 4, kDialogWidth, 10, heading_));
  comport_label_->setGeometry(du.Box(4, 29, 40, 8, comport_label_));
  comport_list_->setGeometry(du.Box(45, 27, 63, 12, comport_list_));
  sw_version_label_->setGeometry(du.Box(114, 29, 176, 8, sw_version_label_));
  product_label_->setGeometry(du.Box(4, 50, 40, 8, product_label_));
  product_list_->setGeometry(du.Box(45, 48, 63, 12, product_list_));
  flash_caption_->setGeometry(du.Box(114, 50, 25, 8, flash_caption_));
  flash_label_->setGeometry(du.Box(140, 50, 43, 8, flash_label_));
  imei_label_->setGeometry(du.Box(185, 50, 107, 8, imei_label_));
  image_path_label_->setGeometry(du.Box(4, 71, 40, 8, image_path_label_));
  image_path_edit_->setGeometry(du.Box(45, 69, 192, 12, image_path_edit_));
  browse_button_->setGeometry(du.Box(241, 68, 40, 14, browse_button_));
  progress_label_->setGeometry(du.Box(4, 93, 40, 8, progress_label_));
  progress_bar_->setGeometry(du.Box(45, 91, 236, 12, progress_bar_));
  restore_default_check_->setGeometry(du.Box(44, 112, 80, 12, restore_default_check_));
  start_button_->setGeometry(du.Box(138, 111, 44, 14, start_button_));
  status_line_->setGeometry(du.Box(0, 137, kDialogWidth, 12, status_line_));
  setFixedSize(du.X(kDialogWidth), std::max(du.Y(kDialogHeight), status_line_->geometry().bottom() + 1));
}

void CVEKDlg::ConnectActions() {
  connect(start_button_, &QPushButton::clicked, this, &CVEKDlg::OnStartClicked);
  connect(browse_button_, &QPushButton::clicked, this, &CVEKDlg::OnBrowseClicked);
  connect(restore_default_check_, &QCheckBox::clicked, this, &CVEKDlg::OnRestoreDefaultClicked);
  connect(product_list_, &ProductComboBox::aboutToShowPopup, this, &CVEKDlg::OnProductListOpening);
  connect(product_list_, &ProductComboBox::leftByOperator, this, &CVEKDlg::OnProductListLeft);
}

void CVEKDlg::OnStartClicked() { session_->PressStart(); }

void CVEKDlg::OnBrowseClicked() {
  const QString folder = QFileDialog::getExistingDirectory(this, QString(), QString(), QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return;  // cancelled
  image_path_edit_->setText(folder);
  const std::string path = image_path_edit_->text().toStdString();
  if (path.empty()) {
    ShowMessageBox(kMessageOk, kNoImageFolderText, "Error");
    return;
  }
  Session::SetImageFolder(path);
}

void CVEKDlg::OnRestoreDefaultClicked(bool checked) { Session::TickRestoreDefault(checked); }

void CVEKDlg::OnProductListOpening() {
  if (!Session::ModuleInDownloadMode()) return;  // the list keeps what product matching put there
  product_list_->clear();
  for (const std::string& name : Session::AllProducts().names) product_list_->addItem(QString::fromStdString(name));
  product_list_->setCurrentIndex(-1);
}

void CVEKDlg::OnProductListLeft() {
  if (closing_ || !isVisible() || !Session::ModuleInDownloadMode()) return;  // not when the window goes away
  const int position = SelectedProductPosition();
  if (position < 0) {
    ShowMessageBox(kMessageOk, kChooseProjectText, "Error");
    return;
  }
  Session::ChooseProduct(position);
}

bool CVEKDlg::AcceptClose() {
  if (closing_) return true;
  if (session_->JobRunning()) {
    ShowMessageBox(kMessageOk, kCloseRefusedText, kCloseRefusedCaption);
    return false;
  }
  // The port watch and the connect task end, the diagnostic port is closed.
  session_->Shutdown();
  closing_ = true;
  return true;
}

void CVEKDlg::reject() {
  if (AcceptClose()) QDialog::reject();
}

}  // namespace vek
