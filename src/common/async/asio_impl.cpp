// asio's separately compiled implementation: the one translation unit that holds it.

// The standard library before asio: asio's configuration reads the library's (whether
// aligned_alloc exists), and every other file includes the library first. Without this, this
// file's inline aligned_delete would be operator delete while the others' aligned_new is
// aligned_alloc: asio's handler memory would be freed with the wrong function.
#include <cstddef>

#include <asio/impl/src.hpp>

#if defined(_GLIBCXX_HAVE_ALIGNED_ALLOC) && !defined(ASIO_HAS_STD_ALIGNED_ALLOC)
#error "asio chose another allocation function here than in the files that include it"
#endif
