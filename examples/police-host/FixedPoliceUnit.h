#pragma once

#include "police/BasePoliceUnit.h"

// A police back end that reports one fixed guest. The record is built once and never changed, so the
// connection threads may read it at the same time without a lock.
class TFixedPolice : public TBasePolice {
public:
    TFixedPolice();
    const TGuestRecord* GetGuest() override { return &m_guest; }

private:
    TGuestRecord m_guest;
};
