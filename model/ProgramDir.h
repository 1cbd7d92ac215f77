#pragma once
// Which directory holds the catalogue, for both programs: `--dir DIR`, else $QUARNEL_DIR, else the
// executable's own directory when a site.ds is there already (a portable copy, and catalogues
// kept beside the program before it was installed), else $XDG_DATA_HOME/quarnel
// (~/.local/share/quarnel).

#include "model/FileError.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class ProgramDirSource { Option, Environment, Portable, Default };

struct ProgramDirInputs {
    std::optional<std::string> dirOption;   // --dir DIR as typed; an empty one is refused
    std::optional<std::string> quarnelDir;  // $QUARNEL_DIR; empty counts as unset
    std::optional<std::string> xdgDataHome; // $XDG_DATA_HOME; empty or relative counts as unset
    std::optional<std::string> home;        // $HOME, or the password database's entry
    std::string exeDir;                     // the directory of the running executable
};

struct ProgramDirChoice {
    std::string path; // empty when none could be chosen
    ProgramDirSource source = ProgramDirSource::Default;
    bool exists = false; // something is there by that name already
    std::string error;   // why no directory could be chosen, for the user
};

// True when anything exists at `path`.
using PathProbe = std::function<bool(const std::string& path)>;
bool PathExists(const std::string& path);

// The choice itself, from the inputs alone and `exists` for the file system, so that the order
// can be tried without touching a real home directory.
ProgramDirChoice ChooseProgramDir(const ProgramDirInputs& inputs, const PathProbe& exists = PathExists);

// The inputs of this process: its environment and /proc/self/exe.
ProgramDirInputs ProgramDirInputsOfProcess(std::optional<std::string> dirOption);

// The directory of the running executable ("." when the system does not say).
std::string ExecutableDir();

// Creates `path` with its missing parents. The last component is made readable by its owner only
// (site.ds holds passwords); a directory already there is left as it is.
CResult<void> EnsureProgramDir(const std::string& path);

// Where an installed or unpacked program finds help.pdf: beside the executable, then in
// ../share/doc/quarnel.
std::vector<std::string> HelpFileCandidates(const std::string& exeDir);
