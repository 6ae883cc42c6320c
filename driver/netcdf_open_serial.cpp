// The NetCDF file of a run of one process: built in memory, written out by
// the run.
#include <netcdf.h>
#include <netcdf_mem.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "driver/netcdf_contents.hpp"
#include "driver/netcdf_open.hpp"
#include "grid/failure.hpp"

namespace {

// What the library starts the file's memory at; it grows as needed.
constexpr std::size_t initial_bytes = std::size_t{1} << 20;

void write_all(int fd, const unsigned char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw run_failure(system_reason("cannot write " + path, n < 0 ? errno : EIO));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The bytes of the HDF5 file `image` that the file uses: the end of file
// address of its superblock. The library hands out its memory in whole
// increments; a file written to the disk ends there, as HDF5 cuts it on
// closing one of its own. The whole image where the superblock is not one
// this reads (8-byte addresses, based at 0).
std::size_t used_bytes(const unsigned char* image, std::size_t size) {
  constexpr unsigned char signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  if (size < 48 || !std::equal(signature, signature + 8, image)) return size;
  const auto address = [&](std::size_t at) {
    std::uint64_t a = 0;
    for (int b = 7; b >= 0; --b) a = a << 8 | image[at + static_cast<std::size_t>(b)];
    return a;
  };
  // Where the base and the end of file addresses are, by superblock version.
  const unsigned version = image[8];
  const std::size_t base = version == 0 ? 24 : version == 1 ? 28 : 12;
  const std::size_t end = version == 0 ? 40 : version == 1 ? 44 : 28;
  const unsigned offset_bytes = version <= 1 ? image[13] : image[9];
  if (version > 3 || offset_bytes != 8 || address(base) != 0) return size;
  const std::uint64_t used = address(end);
  return used <= size ? static_cast<std::size_t>(used) : size;
}

}  // namespace

int create_shared_netcdf(const std::string& path, int* ncid) {
  return nc_create_mem(path.c_str(), NC_NETCDF4, initial_bytes, ncid);
}

int write_collectively(int, int) { return NC_NOERR; }

void finish_shared_netcdf(int ncid, const std::string& path) {
  NC_memio memory{};
  netcdf_contents::check(nc_close_memio(ncid, &memory), "cannot write " + path);
  struct owned {
    void* memory;
    ~owned() { std::free(memory); }
  } own{memory.memory};
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw run_failure(system_reason("cannot create " + path, errno));
  try {
    const auto* image = static_cast<const unsigned char*>(memory.memory);
    write_all(fd, image, used_bytes(image, memory.size), path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throw run_failure(system_reason("cannot write " + path, errno));
}
