#pragma once
// The profile editor's entry point for the profile list: edits the profile of a slot (a new
// profile when isNew) and writes its record on OK.
#include <QString>

class QWidget;

namespace vrlconf {

// Opens the editor for profile slot `slot` (1-based, as the profiles file counts). True when the
// user pressed OK and the record was written.
bool EditProfile(QWidget* parent, int slot, bool isNew);

}  // namespace vrlconf
