#pragma once
// The agent's public interface on the D-Bus session bus: its name, its object paths and
// interfaces, and the enumerations of its type library. Shared by the agent and its clients.
#include <QtGlobal>

enum AgentStateConsts : qint32 { NotRunning = 0, Running = 1 };
// Declared for callers; no member uses them.
enum LogInstanceToGetStatus : qint32 { InstOK = 0, InstLast = 1, InstNotFound = 2, InstError = 3 };
enum LogInstanceToGet : qint32 { InstFirst = 0, InstNext = 1 };

namespace agentbus {

inline constexpr char kServiceName[] = "org.vorlane.VRLEng31";
inline constexpr char kStartStopEngPath[] = "/ClsStartStopEng";
inline constexpr char kAgentStatePath[] = "/ClsAgentState";
inline constexpr char kGetLogPath[] = "/ClsGetLog";
inline constexpr char kStartStopEngInterface[] = "org.vorlane.VRLEng31.ClsStartStopEng";
inline constexpr char kAgentStateInterface[] = "org.vorlane.VRLEng31.ClsAgentState";
inline constexpr char kGetLogInterface[] = "org.vorlane.VRLEng31.ClsGetLog";
// Hold and Release of the client objects, on each of the three paths.
inline constexpr char kInstanceInterface[] = "org.vorlane.VRLEng31.Instance";
// The health record in the application folder (ClsAgentState.Health, kept while no agent runs).
inline constexpr char kHealthFileName[] = "VRLEng31.health";

}  // namespace agentbus
