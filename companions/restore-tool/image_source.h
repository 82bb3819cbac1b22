#pragma once
// The contents of an image file as the partition will hold them: a raw image
// byte for byte, a VHD image (fixed or dynamic) as its virtual disk, with the
// blocks it never allocated read as zeros.
#include <cstdint>
#include <memory>
#include <string>

class ImageSource {
public:
  virtual ~ImageSource() = default;
  // Bytes the image puts onto the target.
  virtual uint64_t size() const = 0;
  // Fills `buffer` with exactly `length` bytes from `offset`; false with
  // `error` set when the file cannot deliver them.
  virtual bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) = 0;
};

enum class ImageFormat { Raw, Vhd, Unknown };

// From the file name's extension ("raw" or "vhd", in any case).
ImageFormat imageFormatOf(const std::string& path);

// Opens the image `path` in the format its extension names; null with `error`
// set when it cannot be read as such.
std::unique_ptr<ImageSource> openImage(const std::string& path, std::string& error);

// How the data of a VHD is read once libvhdi has accepted the image: a fixed
// one straight from the file and a dynamic one in whole blocks (vhd_blocks.h)
// where its structures allow, or sector by sector through libvhdi alone.
enum class VhdReading { WholeBlocks, LibvhdiOnly };
std::unique_ptr<ImageSource> openVhdImage(const std::string& path, std::string& error,
                                          VhdReading reading = VhdReading::WholeBlocks);
