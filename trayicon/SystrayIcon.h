#pragma once
// Notification-area icon over QSystemTrayIcon. The members keep their Windows-era names; the icon
// "handle" is a QIcon. Mouse actions arrive as the event sequences of the original mouse messages
// (a right click: MouseDown then MouseUp; a left double click: MouseDown, MouseUp, DblClick,
// MouseUp).
#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

enum MouseButtons { MbLeft = 1, MbRight = 2, Mbmiddle = 4 };

class SystrayIcon : public QObject {
  Q_OBJECT
 public:
  // The tip text the notification area shows is at most 63 characters.
  static constexpr int kMaxTipLength = 63;

  explicit SystrayIcon(QObject* parent = nullptr);
  // Removes the icon if it is shown: an object never leaves its icon behind.
  ~SystrayIcon() override;

  // Adds the icon with the icon and tip set so far; nothing while it is shown.
  void Show();
  // Removes the icon; nothing while it is not shown.
  void Hide();
  // Puts the stored icon and tip on the shown icon; nothing while hidden.
  void Refresh();

  QIcon Icon() const;
  void SetIcon(const QIcon& icon);
  QString TipText() const;
  // Keeps the first 63 characters.
  void SetTipText(const QString& tip);
  bool Visible() const;
  void SetVisible(bool on);

  // A desktop notification beside the icon (used while the owner's window is hidden); false when
  // there is no notification area or the icon is not shown.
  bool ShowBalloon(const QString& title, const QString& text, int iconKind);

  // Raises the events of one mouse message of the original notification callback (0x200
  // mouse move ... 0x209 middle double click); other numbers raise nothing.
  void HandleMouseMessage(int message);

  // True when the desktop has a notification area to show the icon in.
  static bool AreaAvailable();

 signals:
  void MouseMove();
  void MouseDown(int Button);
  void MouseUp(int Button);
  void DblClick(int Button);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};
