// The tools' address texts (tools/common/address.h), in the tarn command's namespace.
#ifndef TARN_TOOLS_TARN_ADDRESS_H
#define TARN_TOOLS_TARN_ADDRESS_H

#include "tools/common/address.h"

namespace tarn::cli {

using tools::addEndpointOption;
using tools::addEndpointsOption;
using tools::connectionTarget;
using tools::deviceAddress;
using tools::Endpoint;
using tools::EndpointRule;
using tools::formatIpv4;
using tools::Ipv4;
using tools::loopbackAddress;
using tools::parseEndpoint;
using tools::parseIpv4;

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_ADDRESS_H
