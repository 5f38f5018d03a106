#pragma once
// Ctrl+Tab and Ctrl+Shift+Tab for a window with tabs.
class QTabWidget;
class QWidget;

namespace vrlconf {

// The keys step through the enabled tabs of tabs, round, wherever the focus is in window (the
// tab widget sees them only from inside its pages, not from the buttons below it).
void InstallTabKeys(QWidget* window, QTabWidget* tabs);

}  // namespace vrlconf
