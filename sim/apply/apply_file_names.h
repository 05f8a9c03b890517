// The names of the files --apply makes on the host, all in one place: the
// temporary files a file goes through on its way in, the undo file beside
// the registry file and the folder that keeps the files it replaced.
#ifndef KESTROW_SIM_APPLY_APPLY_FILE_NAMES_H
#define KESTROW_SIM_APPLY_APPLY_FILE_NAMES_H

#include <string>

namespace kestrow_sim {

// Temporary files of --apply start with this, in the folder of the file
// they replace, so that a later run knows them for leftovers.
constexpr char kTemporaryPrefix[] = ".kestrow-tmp.";

// The temporary file a host file is written to before its rename:
// /m/drive_c/x.inf -> /m/drive_c/.kestrow-tmp.x.inf
std::string TemporaryFor(const std::string& path);
// The temporary file a backup is written to, in the registry file's folder.
std::string BackupTemporaryIn(const std::string& folder);
// Whether a name in a folder written to is a temporary file an earlier run
// left (also the older .kestrow-tmp-XXXXXX).
bool IsLeftoverName(const std::string& name);

// The undo file's name for a registry file: registry.reg -> registry.undo.reg,
// or registry.undo-2.reg, -3, ... when that name or its backup folder's
// name (registry.undo.files, ...) is taken. False, with a message, when the
// host cannot tell.
bool FreeUndoFileName(const std::string& registryFile, std::string* undoFile, std::string* error);
// The backup folder's name for an undo file: registry.undo.reg ->
// registry.undo.files.
std::string BackupFolderName(const std::string& undoFile);
// Where in the backup folder a replaced drive file is kept:
// C:\WINDOWS\inf\x.inf -> C/WINDOWS/inf/x.inf
std::string BackupPath(const std::string& windowsPath);

}  // namespace kestrow_sim

#endif
