#pragma once
// Registration of the tile router's routes, in their fixed order.

namespace vectile {

class service;

void register_routes(service& svc);

}  // namespace vectile
