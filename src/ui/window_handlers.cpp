// The window's handlers of the notifications that the device search and the
// download worker send or post; all run on the window's thread.
#include <QString>

#include "ui/message_box.h"
#include "ui/vek_dlg.h"

namespace vek {
namespace {

QString TextOf(const std::string& text) { return QString::fromStdString(text); }

// Status texts may carry their own line end; the status line shows one line.
QString OneLine(const std::string& text) {
  QString line = TextOf(text);
  while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) line.chop(1);
  return line;
}

}  // namespace

void CVEKDlg::ShowProgress(uint32_t done, int32_t total) { progress_bar_->SetPos(Session::ProgressPercent(done, total)); }

void CVEKDlg::ShowStatus(const std::string& text) { status_line_->setText(OneLine(text)); }

void CVEKDlg::ShowDiagPort(uint32_t port) {
  comport_list_->clear();
  comport_list_->addItem(QStringLiteral("COM%1").arg(port));
  comport_list_->setCurrentIndex(0);
}

void CVEKDlg::MatchProduct(const std::string& identification) {
  const ProductList products = Session::MatchProduct(identification);
  product_list_->clear();
  for (const std::string& name : products.names) product_list_->addItem(TextOf(name));
  product_list_->setCurrentIndex(products.selected);
  // A module that names a supported model makes the list usable again after one
  // that did not.
  product_list_->setEnabled(products.enabled);
}

void CVEKDlg::SetControls(vek::ControlState state) {
  switch (state) {
    case vek::ControlState::kSearching:
      start_button_->setEnabled(false);
      image_path_edit_->setEnabled(false);
      browse_button_->setEnabled(false);
      restore_default_check_->setEnabled(false);
      break;
    case vek::ControlState::kReady:
      start_button_->setEnabled(true);
      image_path_edit_->setEnabled(true);
      browse_button_->setEnabled(true);
      restore_default_check_->setEnabled(Session::RestoreDefaultAllowed());
      break;
    case vek::ControlState::kDownloadMode:
      restore_default_check_->setChecked(false);
      restore_default_check_->setEnabled(false);
      Session::TickRestoreDefault(false);
      break;
    default:
      break;
  }
}

void CVEKDlg::ShowImei(const std::string& text) { imei_label_->setText(TextOf(text)); }
void CVEKDlg::ShowSwVersion(const std::string& text) { sw_version_label_->setText(TextOf(text)); }
void CVEKDlg::ShowFlash(const std::string& text) { flash_label_->setText(TextOf(text)); }

void CVEKDlg::DownloadAborted() {
  image_path_edit_->setEnabled(true);
  image_path_edit_->clear();
  comport_list_->setEnabled(true);
  product_list_->setEnabled(true);
  browse_button_->setEnabled(true);
  start_button_->setEnabled(true);
  Session::ForgetAbortedDownload();
}

void CVEKDlg::CheckRestoreDefault(bool checked) {
  restore_default_check_->setChecked(checked);
  Session::TickRestoreDefault(checked);
}

void CVEKDlg::EnableRestoreDefault(bool enabled) { restore_default_check_->setEnabled(enabled); }

int CVEKDlg::ShowMessage(int kind, const std::string& text, const std::string& caption) {
  return ShowMessageBox(kind, text, caption);
}

std::string CVEKDlg::ImagePathText() { return image_path_edit_->text().toStdString(); }

bool CVEKDlg::RestoreDefaultTicked() { return restore_default_check_->isChecked(); }

int CVEKDlg::SelectedProductPosition() {
  if (product_list_->currentIndex() < 0) return -1;
  // By name: after product matching the list holds only the matched models.
  return Session::ProductPosition(product_list_->currentText().toStdString());
}

void CVEKDlg::DisableJobControls() {
  image_path_edit_->setEnabled(false);
  comport_list_->setEnabled(false);
  product_list_->setEnabled(false);
  browse_button_->setEnabled(false);
  start_button_->setEnabled(false);
  restore_default_check_->setEnabled(false);
}

void CVEKDlg::EnableJobControls(bool restore_default_enabled) {
  image_path_edit_->setEnabled(true);
  comport_list_->setEnabled(true);
  product_list_->setEnabled(true);
  browse_button_->setEnabled(true);
  start_button_->setEnabled(true);
  restore_default_check_->setEnabled(restore_default_enabled);
}

void CVEKDlg::SetImagePathText(const std::string& path) { image_path_edit_->setText(TextOf(path)); }

void CVEKDlg::ClearDeviceControls() {
  product_list_->clear();
  comport_list_->clear();
  progress_bar_->SetPos(0);
  image_path_edit_->clear();
  sw_version_label_->setText(QStringLiteral("SW version:"));
  imei_label_->setText(QStringLiteral("IMEI:"));
  flash_label_->clear();
  // A new search starts from the image folder given at start-up, which stands for
  // the working directory; without one the search has just set the working directory.
  if (!image_folder_.empty()) Session::SetImageFolder(image_folder_);
}

}  // namespace vek
