#include "transport/transport.hpp"

#include "core/error.hpp"

namespace trelk {

TransportResponse Transport::get_component(std::string_view name, std::uint64_t limit) { return get(name, limit); }

bool Transport::supports_resumption() const { return false; }

void Transport::download_into(std::string_view, AllocatedFile&, std::uint64_t, const Progress&, const TransportData&,
                              const TransportRestart&) {
  fail("download_resume_unsupported", "This transport cannot resume target downloads");
}

}  // namespace trelk
