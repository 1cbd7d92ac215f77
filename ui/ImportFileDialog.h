#pragma once
// The open-file dialog of the import command.

#include <QFileDialog>

#include <memory>

inline constexpr const char* kImportTextFilter = "Text File(*.txt)";
inline constexpr const char* kImportAllFilter = "all files(*.*)";

// "all files(*.*)" stands for every file, names without a dot included, although Qt would match
// "*.*" literally and hide them; the dialog widens that filter to "*" whenever it is chosen.
std::unique_ptr<QFileDialog> CreateImportFileDialog(QWidget* parent);

// Shows the dialog; the chosen path, or an empty string on Cancel.
QString AskImportFile(QWidget* parent);
