#pragma once

// What a Station connection socket needs of the listening socket that holds
// it in its client table.
class IClientOwner
{
public:
    virtual ~IClientOwner() = default;
    // The Terminal in `slot` has closed its connection.
    virtual void RemoveClient(int slot) = 0;
};
