object Form1: TForm1
  Left = 440
  Top = 224
  ClientWidth = 382
  ClientHeight = 340
  Caption = 'USB Device Demo - pxusb.dev'
  Color = clBtnFace
  Constraints.MinHeight = 250
  Constraints.MinWidth = 345
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  OnShow = pxDeviceBox1Change
  object Label1: TLabel
    Left = 16
    Top = 16
    Width = 90
    Height = 15
    Caption = 'USB Device'
  end
  object Label2: TLabel
    Left = 16
    Top = 136
    Width = 250
    Height = 15
    Caption = 'Terminal (type here output data)'
  end
  object Label3: TLabel
    Left = 16
    Top = 48
    Width = 90
    Height = 15
    Caption = 'Input pipe:'
  end
  object Label4: TLabel
    Left = 16
    Top = 80
    Width = 90
    Height = 15
    Caption = 'Output pipe:'
  end
  object Label5: TLabel
    Left = 16
    Top = 213
    Width = 250
    Height = 15
    Anchors = [akLeft, akBottom]
    Caption = 'HEX codes of input data'
  end
  object pxDeviceBox1: TpxDeviceBox
    Left = 112
    Top = 14
    Width = 254
    Height = 21
    Anchors = [akLeft, akTop, akRight]
    ItemHeight = 13
    TabOrder = 0
    pxLink = pxUSB1
    ResetOnChanged = False
    OnChange = pxDeviceBox1Change
  end
  object Memo1: TMemo
    Left = 16
    Top = 152
    Width = 350
    Height = 50
    Anchors = [akLeft, akTop, akRight, akBottom]
    TabOrder = 1
  end
  object ePipeIn: TComboBox
    Left = 112
    Top = 45
    Width = 254
    Height = 21
    Style = csDropDownList
    Anchors = [akLeft, akTop, akRight]
    ItemHeight = 13
    TabOrder = 2
  end
  object ePipeOut: TComboBox
    Left = 112
    Top = 77
    Width = 254
    Height = 21
    Style = csDropDownList
    Anchors = [akLeft, akTop, akRight]
    ItemHeight = 13
    TabOrder = 3
  end
  object CheckBox1: TCheckBox
    Left = 112
    Top = 104
    Width = 97
    Height = 17
    Caption = 'Active'
    TabOrder = 4
    OnClick = CheckBox1Click
  end
  object Memo2: TMemo
    Left = 16
    Top = 229
    Width = 350
    Height = 85
    Anchors = [akLeft, akRight, akBottom]
    TabOrder = 5
  end
  object pxUSB1: TpxUSB
    RequestDescriptors = False
    DeviceIndex = -1
    Active = False
    IdVendor = 0
    IdProduct = 0
  end
  object pxUSBPipePair1: TpxUSBPipePair
    Active = False
    Terminal = Memo1
    TerminalUsage = tuSend
    OnFatalError = pxUSBPipePair1FatalError
    UsbDevice = pxUSB1
    PipeIn = -1
    PipeOut = -1
    TimeoutRead = 100
    TimeoutWrite = 100
    ReadBufferSize = 512
    UseMainThread = False
    Priority = tpNormal
    OnAfterReceive = pxUSBPipePair1AfterReceive
  end
  object XPManifest1: TXPManifest
  end
  object lReceived: TLabel
    Left = 16
    Top = 318
    Width = 350
    Height = 15
    Anchors = [akLeft, akRight, akBottom]
    Caption = 'Received 0 bytes'
  end
  object Label6: TLabel
    Left = 212
    Top = 106
    Width = 80
    Height = 15
    Caption = 'Keep lines:'
  end
  object eScrollBack: TEdit
    Left = 296
    Top = 102
    Width = 70
    Height = 21
    Anchors = [akLeft, akTop, akRight]
    Text = '200'
    TabOrder = 6
  end
end
