#pragma once

#include <stdexcept>
#include <string>

namespace platform {

class VerifiedFile;

// A library that could not be loaded or lacks a symbol. The text names the file (and the symbol)
// and carries the loader's own reason.
class SharedLibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One loaded shared library; unloading happens when the owner goes. Symbols resolved from it are
// valid only while it lives, so whoever calls through them must keep the owner alive.
// Thread-safe after construction.
class SharedLibrary {
 public:
  // Loads the file now, resolving all of its own symbols at once. Throws SharedLibraryError.
  explicit SharedLibrary(const std::string& libraryPath);
  // Loads exactly the verified bytes (not the file at its path, which may have changed since),
  // resolving all of its own symbols at once. The verified file may go once this returns.
  // Throws SharedLibraryError.
  explicit SharedLibrary(const VerifiedFile& file);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of an exported symbol; throws SharedLibraryError naming the symbol and the file.
  void* Symbol(const char* name) const;
  // Sets function to the exported function of that name, typed as the caller declares it
  // (for example decltype(&curl_easy_init)); throws as Symbol.
  template <class Function>
  void Resolve(Function& function, const char* name) const {
    function = reinterpret_cast<Function>(Symbol(name));
  }

  const std::string& Path() const { return path; }

 private:
  std::string path;
  void* handle = nullptr;
  // A library loaded from a verified copy is known to the loader by that copy's descriptor
  // number; the descriptor stays open while the library is loaded so no other copy gets its name.
  int loadedFrom = -1;
};

// The library of this name (a soname the loader searches for), loaded at the first call and
// kept for the rest of the process: for optional facilities that most runs never use, so that
// they cost no memory or start-up until then. Thread-safe; a failed load is tried again at the
// next call. Throws SharedLibraryError.
const SharedLibrary& ResidentLibrary(const std::string& name);

// The directory that holds the running executable, without a trailing separator.
// Throws std::system_error when it cannot be determined.
std::string ExecutableDirectory();

}  // namespace platform
