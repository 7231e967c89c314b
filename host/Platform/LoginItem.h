#pragma once

// Starting the host when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() = 0;
    // false when the change could not be made.
    virtual bool setEnabled(bool enabled) = 0;
};
