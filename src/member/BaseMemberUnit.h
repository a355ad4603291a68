#pragma once

// placeholder: the member-card back end interface
class TBaseMember;
extern TBaseMember* CurrentMember;
