// Registration of the datatypes built so far, parents before children.
#pragma once

namespace kel {

void datatypes_register_core();

}  // namespace kel
