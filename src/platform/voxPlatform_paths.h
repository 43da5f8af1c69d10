#pragma once
// Folders the program uses and small file-name services: the state folder (log.txt), the
// configuration folder (sounds, plug-ins), the executable's folder, file identity, and the
// one-piece writing of a text file (log files). The folder functions are replaceable so
// that tests never touch the user's home.
#include <cstddef>
#include <functional>
#include <string>

namespace kavrix::platform {

// $XDG_STATE_HOME/kavrix, default ~/.local/state/kavrix; empty when neither is known.
std::string GetStateFolder();
// $XDG_CONFIG_HOME/kavrix, default ~/.config/kavrix; empty when neither is known.
std::string GetConfigFolder();
// The folder of the running executable (from /proc/self/exe); empty when unknown.
std::string GetExecutableFolder();

enum class TFolder { State, Config, Executable };
using TFolderHook = std::function<std::string()>;
// Replaces where a folder is taken from; an empty hook restores the default. Returns the
// previous hook.
TFolderHook SetFolderHook(TFolder folder, TFolderHook hook);

// Creates the folder and its parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);
bool FileExists(const std::string& path);  // a regular file (after symbolic links)

// What a name stands for (after symbolic links).
enum class TPathKind { kNone, kFile, kFolder, kOther };
TPathKind GetPathKind(const std::string& path);

// True when both names lead to the same file: the same device and inode when both exist,
// otherwise the same lexically normalised absolute path (compared case-sensitively).
bool IsSameFile(const std::string& a, const std::string& b);

// Creates (or truncates) the file with mode 0644 and writes the data in one piece.
// Returns false on any failure. Safe to call from a signal handler.
bool WriteWholeFile(const char* path, const char* data, size_t size);

}  // namespace kavrix::platform
