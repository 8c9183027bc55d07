// One dynamically loaded library, owned for the loader's lifetime.
#pragma once

class LoadLib {
  public:
    // Loads the library by file name: the program's own directory first, then the system's
    // default search. IsLoaded() tells whether that worked.
    explicit LoadLib(const char *name);
    ~LoadLib();
    LoadLib(const LoadLib &) = delete;
    LoadLib &operator=(const LoadLib &) = delete;

    bool IsLoaded() const { return lib_handle != nullptr; }
    // The address of an exported name; null when nothing is loaded or the name is not exported.
    void *GetApiPtr(const char *name) const;

  private:
    void *lib_handle = nullptr;
};
