// Owner of the calling thread's COM apartment: what the security manager holds for its
// lifetime, and what a template load and the commands that need COM enter for theirs.
#pragma once

class ComApartment {
public:
    // CoInitialize for the calling thread. A thread already in another apartment model
    // (RPC_E_CHANGED_MODE) is fine as it is and is left so; any other failure raises the COM
    // error (ComError), and nothing is owned.
    ComApartment();
    // CoUninitialize, when the constructor's CoInitialize succeeded (S_OK or S_FALSE: every
    // successful call is balanced by one).
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialized_ = false;
};
