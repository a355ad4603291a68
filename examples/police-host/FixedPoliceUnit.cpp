#include "FixedPoliceUnit.h"

#include "platform/CodePageUnit.h"

TFixedPolice::TFixedPolice() {
    m_guest.RoomNo = "0816";
    m_guest.EnterTime = "2008-12-31 14:05:00";
    m_guest.IdCardType = "11";
    m_guest.IdCardNo = "110101199001011234";
    m_guest.Name = Gbk("张三");
    m_guest.Nationality = Gbk("汉");
    m_guest.GenderID = "1";
    m_guest.CountryCode = "CHN";
    m_guest.ProvinceCode = "110000";
    m_guest.Address = Gbk("北京市东城区东长安街1号");
    m_guest.Birthday = "1990-01-01";
}
