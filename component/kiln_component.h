// KilnComponent: the base of every component. A component runs on one host
// thread, reads its input ports with ReceiveAny and sends through output
// ports; every wait and every send goes through the PortHub that the host
// installs before it calls Run.
#pragma once

#include <cstdint>
#include <string_view>

#include "component/err_cls.h"
#include "component/kiln_time.h"
#include "component/port_hub.h"
#include "component/qt_error.h"
#include "component/typed_port.h"
#include "nocrtlib/datavect.h"
#include "nocrtlib/exceptions.h"
#include "quantum/qt_str.h"

namespace kiln {

class KilnComponent : public KilnTime {
  public:
    // Raised by a component that cannot go on. Nothing inside the system
    // catches it: it ends Run and reaches the host.
    class Exit : public WException {
      public:
        Exit(ErrCls cls, uint32_t code, RefPtr<QtStr> desc)
            : cls(cls), code(code), desc(std::move(desc)) {}
        Exit(ErrCls cls, uint32_t code, std::u16string_view text)
            : Exit(cls, code, MakeStr(text)) {}
        WString Description() const override { return desc ? desc->Str() : WString(); }

        ErrCls cls;
        uint32_t code;
        RefPtr<QtStr> desc;
    };

    // What RecordQuery answers; the meaning of the values is the host's.
    struct QueryRecord {
        uint32_t value1 = 4096;
        uint32_t value2 = 65536;
        bool flag = false;
    };

    KilnComponent();
    KilnComponent(const KilnComponent&) = delete;
    KilnComponent& operator=(const KilnComponent&) = delete;

    // The host calls these; only Step and Run are called inside the system.
    virtual ~KilnComponent();
    virtual int IntegerQuery() const;  // 3; the file-system backend says 1
    virtual QueryRecord RecordQuery() const;
    virtual void Notify();
    // One step of a component that does not override Run; 1 means finished.
    virtual int Step();
    // The main loop, called once on the component's thread after the ports
    // are linked and the hub is installed.
    virtual void Run();

    const WString& Name() const { return m_name; }
    void SetName(const WString& name) { m_name = name; }
    PortHub* Hub() const { return m_hub; }
    void SetHub(PortHub* hub) { m_hub = hub; }
    TypedOutPort<QtError>& ErrorPort() { return m_errorPort; }
    const datavect<InPort*>& InPorts() const { return m_inPorts; }
    const datavect<OutPort*>& OutPorts() const { return m_outPorts; }
    // Two flags that only the host uses.
    bool HostFlag1() const { return m_hostFlag1; }
    bool HostFlag2() const { return m_hostFlag2; }
    void SetHostFlag1(bool value) { m_hostFlag1 = value; }
    void SetHostFlag2(bool value) { m_hostFlag2 = value; }

    // The next quantum from either port, in the order the hub delivered
    // them; waits as long as needed and never returns null.
    static RefPtr<Quantum> ReceiveAny(PortHub& hub, InPort* const (&ports)[2]);
    RefPtr<Quantum> ReceiveAny(InPort* const (&ports)[2]) {
        return ReceiveAny(RequireHub(), ports);
    }

    // Sends a quantum through a typed output port (a member port, or a
    // QtOutPort taken from a message) via the given hub.
    template <class T, class Q>
    static void SendOn(PortHub& hub, TypedOutPort<T>& port, const RefPtr<Q>& quantum) {
        static_assert(std::is_base_of_v<T, Q>, "the quantum must be of the port's type");
        RefPtr<Quantum> held(quantum.get());
        hub.Send(static_cast<OutPort&>(port), held);
    }
    template <class T, class Q>
    void Send(TypedOutPort<T>& port, const RefPtr<Q>& quantum) {
        SendOn(RequireHub(), port, quantum);
    }

  protected:
    // Called by a constructor for each port member, in the order wanted.
    void RegisterPort(InPort& port);
    void RegisterPort(OutPort& port);

    PortHub& RequireHub() const;

  public:
    // For ports that go away: leaves the list; a port not there is left alone.
    void ForgetPort(const InPort* port);
    void ForgetPort(const OutPort* port);

  private:
    TypedOutPort<QtError> m_errorPort;
    WString m_name{u"componentNameNotSet"};
    datavect<InPort*> m_inPorts;
    datavect<OutPort*> m_outPorts;
    PortHub* m_hub = nullptr;
    bool m_hostFlag1 = false;
    bool m_hostFlag2 = false;
};

}  // namespace kiln
