#include "sql/drivers/odbc_api.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

namespace zolviai::sql::drivers {

namespace {

template <class Fn>
void resolve(void* library, const char* name, Fn& fn) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        throw DatabaseError(std::string("could not load the ODBC driver manager: it lacks ") +
                            name);
    }
    fn = reinterpret_cast<Fn>(symbol);
}

} // namespace

const OdbcApi& odbc() {
    static std::mutex mutex;
    static OdbcApi api;
    static bool loaded = false;
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded) {
        return api;
    }
    const std::string configured = settings()->get("ZOLVI_ODBC_LIBRARY", "libodbc.so.2");
    const char* name = configured.c_str();
    void* library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        const char* why = dlerror();
        throw DatabaseError(std::string("could not load the ODBC driver manager: ") +
                            (why != nullptr ? why : name));
    }
    OdbcApi found;
#define ZOLVIAI_ODBC_FUNCTION(fn) resolve(library, #fn, found.fn);
#include "sql/drivers/odbc_functions.inc"
#undef ZOLVIAI_ODBC_FUNCTION
    api = found;
    loaded = true; // the library stays loaded for the life of the process
    return api;
}

} // namespace zolviai::sql::drivers
