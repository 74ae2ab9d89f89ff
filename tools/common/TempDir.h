#pragma once

// A directory of its own under the system's temporary directory, removed with everything in it.
// Header-only and portable, for the Windows builds as well.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace tarn
{
class TempDir
{
public:
    // Creates "<temp>/<Prefix>-<random>"; Path() is empty when that fails.
    explicit TempDir(const std::string& Prefix = "tarn")
    {
        std::error_code Error;
        const std::filesystem::path Base = std::filesystem::temp_directory_path(Error);
        if (Error)
            return;
        std::random_device Seed;
        std::mt19937_64 Random(Seed());
        for (int nTry = 0; nTry < 100; ++nTry)
        {
            const std::filesystem::path Candidate =
                Base / (Prefix + "-" + std::to_string(Random() % 1000000000u));
            if (std::filesystem::create_directory(Candidate, Error) && !Error)
            {
                m_Path = Candidate.string();
                return;
            }
        }
    }
    ~TempDir()
    {
        std::error_code Error;
        if (!m_Path.empty())
            std::filesystem::remove_all(m_Path, Error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string Path(const std::string& Name) const { return m_Path + "/" + Name; }

    // Writes a file in the directory and returns its path.
    std::string Write(const std::string& Name, const std::string& Bytes) const
    {
        std::ofstream File(Path(Name), std::ios::binary | std::ios::trunc);
        File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
        return Path(Name);
    }

private:
    std::string m_Path;
};
} // namespace tarn
