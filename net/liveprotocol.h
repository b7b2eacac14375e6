#pragma once

// What the client and the live server agree on: the request types that travel
// with each reply, and the scripts they are sent to.
namespace RequestType {
inline constexpr int Login = 1;
inline constexpr int Register = 2;
}

namespace LiveScript {
inline constexpr char Login[] = "login.php";
inline constexpr char Register[] = "register.php";
}

// The registration parameters, in the order the client sends them.
namespace RegisterParam {
inline constexpr const char *Order[] = {
    "civ", "lna", "fna", "ema", "ma1", "ma2", "zip", "tow", "cou", "pho", "ins", "pas", "new",
};
}

// Body of an accepted sign-in; anything else is a refusal.
inline constexpr char LoginAccepted[] = "1";
