#pragma once
// Notification-area icon. The members come with the console.
enum MouseButtons { MbLeft = 1, MbRight = 2, Mbmiddle = 4 };

class SystrayIcon {
 public:
  // The tip text the notification area shows is at most 63 characters.
  static constexpr int kMaxTipLength = 63;
};
