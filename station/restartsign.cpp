#include "station/restartsign.h"

#include "station/families.h"

namespace station {

RestartSign restartSign(std::optional<gpslink::ReceiverFamily> family, std::string_view body,
                        std::string_view command) {
    if (!family) return RestartSign::None;
    const FamilyRow& row = familyRow(*family);
    if (!row.restartSign) return RestartSign::None;
    return row.restartSign(body, command);
}

}  // namespace station
