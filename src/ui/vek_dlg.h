// The program's one window: the module's port, product, versions and IMEI, the
// image folder, "Restore default", "start", a percentage bar and a status line.
// A thin front end over the engine's Session: it shows what the device search
// and the download worker report (its notification handlers run on this
// window's thread) and hands the operator's actions to the Session.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>
#include <string>

#include "device/session.h"
#include "records/window_notifications.h"
#include "ui/elided_label.h"
#include "ui/product_combo_box.h"
#include "ui/text_progress_ctrl.h"

namespace vek {

inline constexpr char kWindowTitle[] = "VEK_V" VEK_VERSION;
inline constexpr char kHeadingText[] = "KORVAN 3G Module Software Update Tool";
inline constexpr char kCloseRefusedText[] = "download is doing,can't be closed!";
inline constexpr char kCloseRefusedCaption[] = "warning";
inline constexpr char kChooseProjectText[] = "please choose the project!";
inline constexpr char kNoImageFolderText[] = "please input image folder path!";

struct WindowOptions {
  std::string image_folder;  // empty: the working directory
  bool search_devices = true;  // start the device search and the port watch at once
};

class CVEKDlg : public QDialog, public WindowNotifications {
  Q_OBJECT

 public:
  explicit CVEKDlg(const WindowOptions& options = {}, QWidget* parent = nullptr);
  ~CVEKDlg() override;

  // The window's notification handlers (window thread).
  void ShowProgress(uint32_t done, int32_t total) override;
  void ShowStatus(const std::string& text) override;
  void ShowDiagPort(uint32_t port) override;
  void MatchProduct(const std::string& identification) override;
  void SetControls(vek::ControlState state) override;
  void ShowImei(const std::string& text) override;
  void ShowSwVersion(const std::string& text) override;
  void ShowFlash(const std::string& text) override;
  void DownloadAborted() override;
  void CheckRestoreDefault(bool checked) override;
  void EnableRestoreDefault(bool enabled) override;
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override;
  std::string ImagePathText() override;
  bool RestoreDefaultTicked() override;
  int SelectedProductPosition() override;
  void DisableJobControls() override;
  void EnableJobControls(bool restore_default_enabled) override;
  void SetImagePathText(const std::string& path) override;
  void ClearDeviceControls() override;

  Session& session() { return *session_; }
  // True once the close request has been accepted.
  bool closing() const { return closing_; }

 public slots:
  // The close box, the system menu's Close and Escape all end up here.
  void reject() override;

 private slots:
  void OnStartClicked();
  void OnBrowseClicked();
  void OnRestoreDefaultClicked(bool checked);
  void OnProductListOpening();
  void OnProductListLeft();

 private:
  void CreateControls();
  void PlaceControls();
  void ConnectActions();
  // The close request: refused while the download worker runs.
  bool AcceptClose();

  QLabel* heading_ = nullptr;
  QLabel* comport_label_ = nullptr;
  QComboBox* comport_list_ = nullptr;
  ElidedLabel* sw_version_label_ = nullptr;
  QLabel* product_label_ = nullptr;
  ProductComboBox* product_list_ = nullptr;
  QLabel* flash_caption_ = nullptr;
  QLabel* flash_label_ = nullptr;
  QLabel* imei_label_ = nullptr;
  QLabel* image_path_label_ = nullptr;
  QLineEdit* image_path_edit_ = nullptr;
  QPushButton* browse_button_ = nullptr;
  QLabel* progress_label_ = nullptr;
  CTextProgressCtrl* progress_bar_ = nullptr;
  QCheckBox* restore_default_check_ = nullptr;
  QPushButton* start_button_ = nullptr;
  QLabel* status_line_ = nullptr;

  std::string image_folder_;  // given at start-up; empty: the working directory
  std::unique_ptr<Session> session_;
  bool closing_ = false;
};

}  // namespace vek
