// The validated view of a package: the stub's own executable file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Construction validates the PE headers and the certificate table and fixes
// four numbers; a PeReader that exists has passed every check. It holds no
// open file: each block operation opens the executable again by its path and
// closes it before returning.
class PeReader {
  public:
    // Throws PeFormatException with the message of the first check that
    // fails, or a system error when the file's size cannot be obtained.
    explicit PeReader(const std::wstring& path);
    virtual ~PeReader();

    // Copies the installer image to target byte for byte. Throws the system
    // error "Failed to extract the installer".
    void ExtractInstaller(const std::wstring& target) const;

    // Reads and decodes the parameters block; sets version to the package
    // version (1 or 2). Creates no file.
    std::vector<std::uint8_t> ReadData(std::int32_t& version) const;
    // ReadData, then writes the decoded bytes to path. Failures to write the
    // file are not reported.
    void ExtractParams(std::int32_t& version, const std::wstring& path) const;

    // Write the picture or icon block of a version-2 package to path and
    // return true; return false and touch no file when the block is empty.
    bool ExtractPicture(const std::wstring& path) const;
    bool ExtractIco(const std::wstring& path) const;

    const std::wstring& path() const { return path_; }
    std::int32_t certificate_table_offset() const { return certificate_table_offset_; }
    std::int32_t certificate_table_size() const { return certificate_table_size_; }
    std::int32_t installer_offset() const { return installer_offset_; }
    std::int32_t installer_length() const { return installer_length_; }

  private:
    std::wstring path_;
    std::int32_t certificate_table_offset_ = 0;
    std::int32_t certificate_table_size_ = 0;
    std::int32_t installer_offset_ = 0;
    std::int32_t installer_length_ = 0;  // greater than 0 in every PeReader
};
