#pragma once

// "-F name=@-" sends standard input under the filename "-", as curl does. The library reads a
// file by its path when the request runs and sends that path as the filename, so tarn keeps
// standard input in a file named "-" in a folder of its own and runs the POST from there. The
// form's other relative paths reach their files through links in that folder named after their
// first component, so they are sent, and read, as given.
#include "TarnOptions.h"

#include <string>
#include <vector>

namespace tarn
{
// The first component of a relative path, past any "./": "src" for "./src/a.txt"; "" for an
// absolute path. A path whose first component is ".." or "-" cannot be reached from the folder.
std::string FirstComponent(const std::string& Path);

class StdinFolder
{
public:
    StdinFolder() = default;
    // Goes back to the working directory of before and removes the folder.
    ~StdinFolder();

    StdinFolder(const StdinFolder&) = delete;
    StdinFolder& operator=(const StdinFolder&) = delete;

    // Copies standard input into the folder's "-", links the first components of the other
    // relative file paths of Fields, and makes the folder the working directory. False with the
    // reason when standard input or the folder could not be used.
    bool Enter(const std::vector<FormField>& Fields, std::string& Error);

private:
    std::string m_Dir;
    std::vector<std::string> m_Entries; // made in m_Dir, removed with it
    int m_nHome = -1;                   // the working directory before
};
} // namespace tarn
