#pragma once
// Opens the configuration for the console. True when the configuration changed (the agent then
// needs a restart); false when it did not, or when it could not be opened (the user is told).
class QWidget;

bool OpenConfiguration(QWidget* parent);
