#pragma once

class QFileDialog;

inline constexpr auto FolderDialogTitle = "Choose Music Folder";
inline constexpr auto FolderDialogAcceptLabel = "Choose Folder";
inline constexpr auto FolderDialogMessage =
    "Choose a folder containing music for Tarvessa Audio Server.";

// Sets the dialog up to choose one existing folder: folders only, hidden ones left out, no
// way to create, rename or delete anything, and the message above the folder list. It opens in
// the user's music folder (XDG_MUSIC_DIR), else in the home folder.
void configureFolderDialog(QFileDialog& dialog);
