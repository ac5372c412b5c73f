#include "Role.h"

namespace {

struct RoleName
{
    Role role;
    const char* name;
};

// Both directions read this one list, so a name cannot be written one way and
// parsed another.
constexpr RoleName kRoleNames[] = {
    {Role::Viewer, "viewer"},
    {Role::Merchant, "merchant"},
    {Role::Admin, "admin"},
};

}  // namespace

QString roleName(Role role)
{
    for (const RoleName& r : kRoleNames) {
        if (r.role == role) {
            return QLatin1String(r.name);
        }
    }
    return {};
}

std::optional<Role> roleFromName(const QString& name)
{
    for (const RoleName& r : kRoleNames) {
        if (name == QLatin1String(r.name)) {
            return r.role;
        }
    }
    return std::nullopt;
}
