#pragma once

#include <QString>
#include <optional>

// What an account may do. Inside the server a role is only ever this; its
// name exists where it crosses the edge: the users table, the API's answers
// and the operator's command line and listings.
enum class Role
{
    Viewer,
    Merchant,
    Admin,
};

// "viewer", "merchant" or "admin", as stored and as shown.
QString roleName(Role role);
// Exactly one of those names, case included; empty for anything else.
std::optional<Role> roleFromName(const QString& name);
