// asio's separately compiled implementation: the one translation unit that holds it.
#include <asio/impl/src.hpp>
